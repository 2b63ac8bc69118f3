// The keys the console updater trusts: the one its build pins (cmake -DUPDATER_TRUSTED_KEY), and
// those given with --key. With any, a file must be signed by one of them.
#pragma once

#include <string>
#include <vector>

#include "core/signature.h"

namespace run {

// The pinned key, then the keys of the files given; false with one line on the first key that
// cannot be used.
bool load_trusted_keys(const std::vector<std::string>& files, core::TrustedKeys& keys, std::string& error);

}  // namespace run
