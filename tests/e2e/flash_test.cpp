// The serial link and the FLASH download against the simulated device: the bytes on the wire, the
// console text, and the port's failures. The reply faults are the reply-fault table's.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <ostream>

#include "e2e_support.h"

namespace e2e {
namespace {

using harness::ConsoleSession;
using harness::Simulator;

class FlashDownload : public UpdateRun {};

TEST_F(FlashDownload, UndisturbedDownloadDeliversTheImageUnchangedAndEscFinishes) {
    test_files::UpdateContent content;
    const std::string path = pack(content);
    const long length = static_cast<long>(test_files::read_file(path).size());
    Simulator device(recording());
    ConsoleSession run(launch(path, 3, device.port()));
    ASSERT_TRUE(run.expect(tty(banner(run))));
    run.send("3");
    ASSERT_TRUE(run.expect(tty(EEPROM_PROMPT)));
    // The line as the updater holds it: raw, and a break or a byte with a framing or parity error
    // dropped rather than read as 0x00, the reply "record accepted".
    const int line = open(device.port().c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(line, 0);
    struct termios held;
    ASSERT_EQ(tcgetattr(line, &held), 0);
    close(line);
    EXPECT_EQ(held.c_iflag & (IGNBRK | IGNPAR | BRKINT | PARMRK | INPCK | ICRNL | IXON | IXOFF), IGNBRK | IGNPAR);
    EXPECT_EQ(held.c_lflag & (ICANON | ECHO | ISIG), 0u);
    run.send("\x1b");
    ASSERT_TRUE(run.expect(tty(EXIT_PROMPT)));
    run.send("\r");
    EXPECT_EQ(run.wait_exit(), 0);
    EXPECT_EQ(run.output(), tty(banner(run) + loading(3, path, length) + "\nDownloading FLASH...\n" +
                                flash_progress(500) + FLASH_DONE + EEPROM_PROMPT + disconnected(3)));
    EXPECT_NE(run.output().find("\r80 0%\r100 0%"), std::string::npos);
    EXPECT_NE(run.output().find("\r280 1%"), std::string::npos);
    EXPECT_NE(run.output().find("\rFA00 100%\r\n"), std::string::npos);

    EXPECT_EQ(device.wait_exit(), 0) << device.report();
    // The image starts with 0D 0A 11 13: the line passes them unchanged, and after ESC nothing of
    // the EEPROM is sent.
    EXPECT_EQ(wire(), flash_wire(content.flash, 500));
    EXPECT_EQ(test_files::read_file(dir.file("flash.out")), content.flash);
}

TEST_F(FlashDownload, PortThatDoesNotExistIsNotInstalled) {
    ConsoleSession run(launch(pack(), 4, dir.file("no-such-tty")));
    EXPECT_EQ(press_at_port_prompt(run, "4"), 3);
    EXPECT_EQ(run.output(), tty(banner(run) + "COM4 not installed or in use by other program\n" + dir.file("no-such-tty") +
                                ": No such file or directory\n" + MISSING_PORT_HELP + EXIT_PROMPT));
}

TEST_F(FlashDownload, PortHeldByAnotherProgramIsInUse) {
    Simulator device(recording());
    const int holder = open(device.port().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
    ConsoleSession run(launch(pack(), 4, device.port()));
    EXPECT_EQ(press_at_port_prompt(run, "4"), 3);
    EXPECT_EQ(run.output(), tty(banner(run) + "COM4 not installed or in use by other program\n" + device.port() +
                                ": in use by another program\n" + held_by("COM4", getpid(), "e2e_tests") + EXIT_PROMPT));
    close(holder);
}

TEST_F(FlashDownload, PortThatCannotBeOpenedIsAnotherProblem) {
    mkdir(dir.file("a-folder").c_str(), 0755);
    ConsoleSession run(launch(pack(), 4, dir.file("a-folder")));
    EXPECT_EQ(press_at_port_prompt(run, "4"), 3);
    EXPECT_EQ(run.output(), tty(banner(run) + "Other problem with COM4\n" + dir.file("a-folder") + ": Is a directory\n" + EXIT_PROMPT));
}

TEST_F(FlashDownload, PortThatIsNoTerminalHasNoParametersAndIsClosed) {
    test_files::write_file(dir.file("plain-file"), {});
    ConsoleSession run(launch(pack(), 5, dir.file("plain-file")));
    EXPECT_EQ(press_at_port_prompt(run, "5"), 3);
    EXPECT_EQ(run.output(), tty(banner(run) + "COM5 connected\nCOM parameters not accessible\n"
                                           "tcgetattr: Inappropriate ioctl for device\n" + disconnected(5)));
}

}  // namespace
}  // namespace e2e
