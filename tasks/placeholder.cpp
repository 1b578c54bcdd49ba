// Keeps the library non-empty until the first classes land; remove with them.
