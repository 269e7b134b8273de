// The registry keys of the persisted settings, created as the driver's installer would: the
// driver writes values only into keys that exist.
#pragma once

#include "host/kernel/host_kernel.h"

namespace nimbra::tool {

inline void CreateSettingsKeys()
{
    host::CreateRegistryKey(u"\\Registry\\MACHINE\\SOFTWARE\\Korvane\\Nimbra\\SETTING\\Video");
    host::CreateRegistryKey(u"\\Registry\\MACHINE\\SOFTWARE\\Korvane\\Nimbra\\SETTING\\Custom");
}

}  // namespace nimbra::tool
