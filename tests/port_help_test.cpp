// Finding the port and help for the person at it: the Linux enumeration and diagnosis over small
// fake trees of /dev, /sys, /proc and /etc, and the list, keys and help lines made of them.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <ostream>

#include "platform/serial_port.h"
#include "frontend/text.h"
#include "test_files.h"

namespace {

using Kind = serial::PortProblem::Kind;

// A fake root with the files and links a case needs.
class FakeRoot {
public:
    void file(const std::string& path, const std::string& text = "") {
        make_folders(path);
        test_files::write_file(root() + path, std::vector<uint8_t>(text.begin(), text.end()));
    }
    void link(const std::string& path, const std::string& target) {
        make_folders(path);
        symlink(target.c_str(), (root() + path).c_str());
    }
    // A USB device at sysfs folder name with the given ids, and, when tty is given, the tty its
    // driver made under its interface.
    void usb_device(const std::string& name, const std::string& vendor, const std::string& product, const std::string& tty) {
        const std::string device = "/sys/devices/usb1/" + name;
        file(device + "/idVendor", vendor + "\n");
        file(device + "/idProduct", product + "\n");
        file(device + "/product", "USB Serial\n");
        link("/sys/bus/usb/devices/" + name, root() + device);
        if (tty.empty()) return;
        file(device + "/" + name + ":1.0/" + tty + "/tty/" + tty + "/dev");
        file("/dev/" + tty);
        link("/sys/class/tty/" + tty + "/device", root() + device + "/" + name + ":1.0/" + tty);
    }
    std::string root() const { return dir_.path(); }

private:
    void make_folders(const std::string& path) {
        for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
            mkdir((root() + path.substr(0, slash)).c_str(), 0755);
        }
    }
    test_files::TempDir dir_;
};

struct HelpCase {
    const char* name;
    void (*build)(FakeRoot&);
    Kind kind;
    std::string device;
    std::string listed;  // the port list, or empty to skip it
    std::vector<std::string> help;

    friend std::ostream& operator<<(std::ostream& out, const HelpCase& row) { return out << row.name; }
};

class PortHelp : public ::testing::TestWithParam<HelpCase> {};

TEST_P(PortHelp, FitsWhatTheSystemShows) {
    const HelpCase& c = GetParam();
    FakeRoot fake;
    c.build(fake);
    if (!c.listed.empty()) {
        EXPECT_EQ(frontend::port_list_text(serial::list_ports(fake.root())), c.listed);
    }
    EXPECT_EQ(frontend::port_help(serial::diagnose_port(c.kind, c.device, fake.root()), "COM1", c.device), c.help);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PortHelp,
    ::testing::Values(
        HelpCase{"ch340_with_its_tty", [](FakeRoot& f) { f.usb_device("1-1", "1a86", "7523", "ttyUSB0"); }, Kind::missing,
                 "/dev/ttyUSB3", "COM1 = /dev/ttyUSB0 (USB Serial, 1a86:7523)\n",
                 {"Check that the adapter is plugged in, that its cable carries data (some USB cables only charge) "
                  "and that its driver is installed (FTDI, Silicon Labs CP210x, WCH CH340/CH341, Prolific PL2303). "
                  "Then run the update again."}},
        HelpCase{"cp210x_without_a_tty", [](FakeRoot& f) { f.usb_device("1-2", "10c4", "ea60", ""); }, Kind::missing, "",
                 "no serial ports found\n",
                 {"A Silicon Labs CP210x adapter (10c4:ea60) is plugged in but has no serial port: brltty (a Braille "
                  "display service) may have taken it. Remove it (sudo apt remove brltty), then plug the adapter in again."}},
        HelpCase{"ftdi_at_ttyusb10_gets_a_letter",
                 [](FakeRoot& f) {
                     for (int n = 0; n < 10; ++n) f.file("/dev/ttyUSB" + std::to_string(n));
                     f.usb_device("1-3", "0403", "6001", "ttyUSB10");
                 },
                 Kind::other, "/dev/ttyUSB10",
                 "COM1 = /dev/ttyUSB0\nCOM2 = /dev/ttyUSB1\nCOM3 = /dev/ttyUSB2\nCOM4 = /dev/ttyUSB3\nCOM5 = /dev/ttyUSB4\n"
                 "COM6 = /dev/ttyUSB5\nCOM7 = /dev/ttyUSB6\nCOM8 = /dev/ttyUSB7\nCOM9 = /dev/ttyUSB8\n"
                 "COM10 = /dev/ttyUSB9 - press a\nCOM11 = /dev/ttyUSB10 (USB Serial, 0403:6001) - press b\n",
                 {}},
        HelpCase{"port_held_by_a_process",
                 [](FakeRoot& f) {
                     f.file("/dev/ttyACM0");
                     f.file("/proc/4242/comm", "minicom\n");
                     f.link("/proc/4242/fd/3", "/dev/ttyACM0");
                     f.file("/proc/77/comm", "bash\n");
                 },
                 Kind::busy, "/dev/ttyACM0", "",
                 {"COM1 is held by process 4242 (minicom): close that program, then run the update again."}},
        HelpCase{"device_of_a_group_the_user_lacks",
                 [](FakeRoot& f) {
                     f.file("/etc/group", "root:x:0:\ndialout:x:20:\n");
                     f.file("/dev/ttyUSB0");
                     chown((f.root() + "/dev/ttyUSB0").c_str(), 0, 20);
                 },
                 Kind::denied, "/dev/ttyUSB0", "",
                 {"You may not use /dev/ttyUSB0: it belongs to the group dialout. Run: sudo usermod -aG dialout $USER, "
                  "then log out and back in."}},
        // The serial driver's type 0 is a node without a UART: left out of the list, said when named.
        HelpCase{"ttys_without_a_uart",
                 [](FakeRoot& f) {
                     f.file("/dev/ttyS0");
                     f.file("/sys/class/tty/ttyS0/type", "4\n");
                     f.file("/dev/ttyS2");
                     f.file("/sys/class/tty/ttyS2/type", "0\n");
                     f.link("/dev/serial-console", f.root() + "/dev/ttyS2");
                 },
                 Kind::other, "/dev/serial-console", "COM1 = /dev/ttyS0\n",
                 {"/dev/serial-console has no UART behind it: the system keeps the name of an on-board serial port that "
                  "this machine does not have. Choose the port the cable is plugged into (update --list-ports lists those "
                  "present)."}},
        HelpCase{"ttys_with_a_uart_that_fails", [](FakeRoot& f) { f.file("/dev/ttyS1"); f.file("/sys/class/tty/ttyS1/type", "4\n"); },
                 Kind::other, "/dev/ttyS1", "", {}}),
    [](const auto& row) { return std::string(row.param.name); });

TEST(PortKeys, DigitsOpenTheirPortLettersTheListedPortBeyondCom9) {
    const std::vector<serial::PortInfo> ports = {
        {"COM1", "a", "", 1}, {"COM10", "b", "", 10}, {"COM12", "c", "", 12}, {"COM33", "d", "", 33}};
    EXPECT_EQ(frontend::port_for_key('1', ports), 1u);
    EXPECT_EQ(frontend::port_for_key('7', ports), 7u);  // a digit opens its port, listed or not
    EXPECT_EQ(frontend::port_for_key('a', ports), 10u);
    EXPECT_EQ(frontend::port_for_key('c', ports), 33u);
    for (int other : {int{'0'}, int{'d'}, int{'A'}, 27, 13, 224}) EXPECT_EQ(frontend::port_for_key(other, ports), 0u) << other;
}

// A console of 80 columns breaks longer lines wherever it reaches the edge: the help breaks them
// between words first.
TEST(HelpText, IsWrappedBetweenWordsWithin79Columns) {
    const std::string paragraph = "A WCH CH340 adapter (1a86:7523) is plugged in, but its driver does not work (Device "
                                  "Manager problem code 28): install the WCH CH341SER driver, then plug it in again.";
    EXPECT_EQ(frontend::wrapped(paragraph), "A WCH CH340 adapter (1a86:7523) is plugged in, but its driver does not work\n"
                                       "(Device Manager problem code 28): install the WCH CH341SER driver, then plug it\n"
                                       "in again.\n");
    EXPECT_EQ(frontend::wrapped("short"), "short\n");
}

TEST(ModemManager, WarnsOnlyForAModemItProbes) {
    FakeRoot fake;
    fake.file("/dev/ttyACM0");
    fake.file("/dev/ttyUSB0");
    EXPECT_FALSE(serial::modem_manager_may_probe("/dev/ttyACM0", fake.root()));
    fake.file("/proc/512/comm", "ModemManager\n");
    EXPECT_TRUE(serial::modem_manager_may_probe("/dev/ttyACM0", fake.root()));
    EXPECT_FALSE(serial::modem_manager_may_probe("/dev/ttyUSB0", fake.root()));
}

}  // namespace
