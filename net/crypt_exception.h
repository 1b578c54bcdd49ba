#pragma once

#include <exception>
#include <string>

// The only exception of the system: thrown by the crypto wrapper (net/crypt.h), caught by its callers.
class crypt_exception : public std::exception
{
public:
    explicit crypt_exception(std::string text) : text(std::move(text)) {}
    const char *what() const noexcept override { return text.c_str(); }

private:
    std::string text;
};
