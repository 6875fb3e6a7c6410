#include "Containers.h"

CContainers::CContainers() {}

CContainers::~CContainers() {}

CKoError CContainers::Initialize(const CCommandLineArgumentsPtr& /*arguments*/)
{
    return CKoError::Success();
}

CKoError CContainers::Run()
{
    return CKoError::Success();
}
