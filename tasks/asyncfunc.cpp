#include "tasks/asyncfunc.h"

void ASyncFunc::execute()
{
    emit runResult(run());
}
