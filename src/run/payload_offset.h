// The payload offset of this build of the program: the length its executable part is padded to.
// The build checks that the executable never outgrows it.
#pragma once

#include "core/layout.h"

#ifndef UPDATER_PAYLOAD_OFFSET
#error "UPDATER_PAYLOAD_OFFSET must be defined by the build (length of the executable part)"
#endif

namespace run {

constexpr uint32_t PAYLOAD_OFFSET = UPDATER_PAYLOAD_OFFSET;

}  // namespace run
