// The EEPROM download and read-back, which complete the update run, against the simulated device.
#include "e2e_support.h"

namespace e2e {
namespace {

using harness::ConsoleSession;
using harness::Simulator;

class EepromDownload : public UpdateRun {
protected:
    // Runs the updater at path through the FLASH download to the EEPROM prompt.
    void run_to_eeprom_prompt(ConsoleSession& run) {
        ASSERT_TRUE(run.expect(tty(banner(run))));
        run.send("3");
        ASSERT_TRUE(run.expect(tty(EEPROM_PROMPT), 20000));
    }
};

TEST_F(EepromDownload, CompleteUpdateWritesAndVerifiesTheEeprom) {
    test_files::UpdateContent content;
    const std::string path = pack(content);
    const long length = static_cast<long>(test_files::read_file(path).size());
    Simulator device(recording());
    ConsoleSession run(launch(path, 3, device.port()));
    run_to_eeprom_prompt(run);
    run.send("e");
    ASSERT_TRUE(run.expect(tty(EXIT_PROMPT), 20000));
    run.send("\r");
    EXPECT_EQ(run.wait_exit(), 0);
    EXPECT_EQ(run.output(), tty(banner(run) + loading(3, path, length) + "\nDownloading FLASH...\n" + flash_progress(500) +
                                FLASH_DONE + EEPROM_PROMPT + "\nDownloading EEPROM...\n" + eeprom_progress(0, 2048) +
                                "\nVerifying EEPROM...\n" + eeprom_progress(0, 2048) + EEPROM_DONE + disconnected(3)));
    EXPECT_NE(run.output().find("\r14 1%"), std::string::npos);
    EXPECT_NE(run.output().find("\r7FF 100%\r\n"), std::string::npos);

    EXPECT_EQ(device.wait_exit(), 0) << device.report();
    EXPECT_EQ(wire(), concat(flash_wire(content.flash, 500), eeprom_wire(content.eeprom)));
    EXPECT_EQ(test_files::read_file(dir.file("eeprom.out")), content.eeprom);
    EXPECT_EQ(test_files::read_file(dir.file("flash.out")), content.flash);
}

TEST_F(EepromDownload, KeyTypedDuringTheFlashDownloadActsAtThePrompt) {
    test_files::UpdateContent content;
    Simulator device(recording());
    ConsoleSession run(launch(pack(content), 3, device.port()));
    ASSERT_TRUE(run.expect(tty(banner(run))));
    run.send("3");
    ASSERT_TRUE(run.expect("Downloading FLASH"));
    run.send("e");
    ASSERT_TRUE(run.expect(tty(EEPROM_PROMPT + "\nDownloading EEPROM...\n"), 20000));
    ASSERT_TRUE(run.expect(tty(EEPROM_DONE), 20000));
    run.send("\r");
    EXPECT_EQ(run.wait_exit(), 0);
}

}  // namespace
}  // namespace e2e
