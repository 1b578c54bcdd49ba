#include "tasks/asyncrun.h"

#include "tasks/asyncfunc.h"

ASyncRun::ASyncRun(ASyncFunc *func) : func(func)
{
}

ASyncRun::~ASyncRun()
{
    delete func;
}

void ASyncRun::run()
{
    func->execute();
}
