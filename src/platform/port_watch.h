// Whether serial ports are there, looked at without opening them: for a front end that updates a
// device when its port appears. The look is one implementation per platform; the changes from one
// look to the next are told here, once each.
#pragma once

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

namespace port_watch {

// Why the port (COMn with n >= 1, or with n 0 the device at path) cannot be watched on this
// platform, or empty when it can.
std::string unwatchable(unsigned n, const std::string& path);

// True when the port is there now. Never opens it.
bool present(unsigned n, const std::string& path);

enum class Change { none, appeared, went_away };

// The presence of a set of ports from one look to the next. Before the first look none counts as
// there, so that a port there at the first look has appeared.
class Watch {
public:
    struct Port {
        unsigned n;
        std::string path;
    };
    explicit Watch(std::vector<Port> ports) : ports_(std::move(ports)), there_(ports_.size(), false) {}

    // Looks at every port once: what changed for each since the last look.
    std::vector<Change> look() {
        std::vector<Change> changes(ports_.size(), Change::none);
        for (size_t k = 0; k < ports_.size(); ++k) {
            const bool now = present(ports_[k].n, ports_[k].path);
            if (now != there_[k]) changes[k] = now ? Change::appeared : Change::went_away;
            there_[k] = now;
        }
        return changes;
    }

    // Whether port k was there at the last look.
    bool there(size_t k) const { return there_[k]; }

private:
    std::vector<Port> ports_;
    std::vector<bool> there_;
};

}  // namespace port_watch
