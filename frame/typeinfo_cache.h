// Windows: the type information that GetTypeInfo hands out (tools and the
// type names some engines print; calls go through the generated tables),
// loaded on first use from the registered type library and kept until the
// module unloads.
#pragma once

#ifdef _WIN32
#include "platform/automation.h"

namespace tessary {

// AddRef'd type information of one dispatch interface.
HRESULT TypeInfoFor(REFIID iid, LCID lcid, ITypeInfo** out);
void ReleaseTypeInfoCache();

}  // namespace tessary
#endif
