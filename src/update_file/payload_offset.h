// The payload offset of this build of the program: the length its executable part is padded to.
// The build checks that the executable never outgrows it.
#pragma once

#include "update_file/layout.h"

#ifndef UPDATER_PAYLOAD_OFFSET
#error "UPDATER_PAYLOAD_OFFSET must be defined by the build (length of the executable part)"
#endif

namespace update_file {

constexpr uint32_t PAYLOAD_OFFSET = UPDATER_PAYLOAD_OFFSET;
constexpr long EXPECTED_FILE_LENGTH = expected_file_length(PAYLOAD_OFFSET);

}  // namespace update_file
