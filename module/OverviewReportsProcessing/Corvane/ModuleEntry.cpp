// The module's single export: hands out the static module object.
#include "Components/ModuleObject.h"

extern "C" CV_EXPORT HRESULT GetComponentsModuleObject(void** module)
{
    if (!module) return corvane::E_INVALIDARG;
    *module = static_cast<corvane::IComponentsModule*>(&corvane::ModuleObject::Instance());
    return corvane::S_OK;
}
