// The packer's command line: bad input of any kind gives one line on standard error, a non-zero
// exit and no output file; check tells valid update files from everything else.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <functional>

#include <ostream>

#include "e2e_support.h"
#include "core/digest.h"

namespace e2e {
namespace {

struct Result {
    int status;
    std::string out, err;
};

// Runs mkupdate; with bounded, in 400 MB of address space (but where the sanitizer needs far more).
Result run_mkupdate(const std::vector<std::string>& args, const test_files::TempDir& dir, bool bounded = false) {
#if defined(__SANITIZE_ADDRESS__)
    bounded = false;
#endif
    std::string command = std::string(bounded ? "ulimit -v 400000 && " : "") + MKUPDATE_BIN;
    for (const std::string& arg : args) command += " '" + arg + "'";
    command += " >" + dir.file("stdout") + " 2>" + dir.file("stderr");
    const int status = std::system(command.c_str());
    auto text = [](const std::string& path) {
        const std::vector<uint8_t> bytes = test_files::read_file(path);
        return std::string(bytes.begin(), bytes.end());
    };
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, text(dir.file("stdout")), text(dir.file("stderr"))};
}

class Mkupdate : public UpdateRun {
protected:
    void SetUp() override {
        test_files::write_file(dir.file("flash.bin"), test_files::flash_pattern());
        test_files::write_file(dir.file("eeprom.bin"), test_files::eeprom_pattern());
    }

    std::vector<std::string> pack_args(const std::string& out) const {
        return {"pack", "--stub", UPDATER_BIN, "--flash", dir.file("flash.bin"), "--eeprom", dir.file("eeprom.bin"),
                "--device", "VORNIK-5", "--version", "3.10c0", "--year", "2011", "-o", out};
    }
};

TEST_F(Mkupdate, PacksAnExecutableUpdateFileThatChecksValid) {
    const Result packed = run_mkupdate(pack_args(dir.file("update")), dir);
    ASSERT_EQ(packed.status, 0) << packed.err;
    EXPECT_EQ(test_files::read_file(dir.file("update")), test_files::read_file(pack()));
    struct stat info;
    ASSERT_EQ(stat(dir.file("update").c_str(), &info), 0);
    EXPECT_TRUE(info.st_mode & S_IXUSR);

    const Result checked = run_mkupdate({"check", dir.file("update")}, dir);
    EXPECT_EQ(checked.status, 0);
    EXPECT_NE(checked.out.find("Device: VORNIK-5\nVersion: 3.10c0\nYear: 2011\nHeader: OK\n"), std::string::npos);
    EXPECT_NE(checked.out.find("Records: 500, checksums OK\nPayload SHA-256: "), std::string::npos);
    EXPECT_NE(checked.out.find(": matches\nSignature: not signed\nValid update file\n"), std::string::npos);
}

struct BadPack {
    const char* name;
    std::string option, value;  // replaces the option's value, or adds it

    friend std::ostream& operator<<(std::ostream& out, const BadPack& row) { return out << row.name; }
};

class MkupdateBadInput : public Mkupdate, public ::testing::WithParamInterface<BadPack> {};

TEST_P(MkupdateBadInput, GivesOneLineAndLeavesNoFile) {
    std::vector<std::string> args = pack_args(dir.file("update"));
    const BadPack& bad = GetParam();
    if (bad.option == "short-flash") {
        test_files::write_file(dir.file("flash.bin"), std::vector<uint8_t>(63999, 0));
    } else if (bad.option == "bad-hex" || bad.option == "empty-hex") {
        const std::string end_record = bad.option == "bad-hex" ? ":00000001FE\n" : ":00000001FF\n";
        test_files::write_file(dir.file("flash.hex"), std::vector<uint8_t>(end_record.begin(), end_record.end()));
        args[4] = dir.file("flash.hex");
    } else if (bad.option == "fifo-out") {
        ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
        args.back() = dir.file("fifo");
    } else if (bad.option == "loop-out") {
        ASSERT_EQ(symlink("loopB", dir.file("loopA").c_str()), 0);
        ASSERT_EQ(symlink("loopA", dir.file("loopB").c_str()), 0);
        args.back() = dir.file("loopA");
    } else if (bad.option == "huge-flash") {
        // Judged by its length, not read: a gigabyte would not even fit the address space given.
        ASSERT_EQ(truncate(dir.file("flash.bin").c_str(), 1L << 30), 0);
    } else if (bad.option == "--sign") {
        // A key that cannot sign, made by the row's command as KEY.
        std::string command = bad.value;
        command.replace(command.find("KEY"), 3, "key.pem");
        ASSERT_EQ(std::system(("cd '" + dir.path() + "' && " + command + " 2>/dev/null").c_str()), 0) << command;
        args.insert(args.begin() + 1, {"--sign", dir.file("key.pem")});
    } else {
        auto at = std::find(args.begin(), args.end(), bad.option);
        if (at == args.end()) {
            args.insert(args.begin() + 1, {bad.option, bad.value});
        } else if (bad.value.empty()) {
            args.erase(at, at + 2);
        } else {
            at[1] = bad.value;
        }
    }
    const Result result = run_mkupdate(args, dir, true);
    EXPECT_NE(result.status, 0);
    if (bad.option == "fifo-out" || bad.option == "loop-out") {
        EXPECT_EQ(result.status, 2);
        struct stat info;
        EXPECT_TRUE(stat(dir.file("fifo").c_str(), &info) == 0 ? S_ISFIFO(info.st_mode)
                                                                  : lstat(dir.file("loopA").c_str(), &info) == 0 && S_ISLNK(info.st_mode));
    }
    if (bad.option == "--sign") {
        EXPECT_EQ(result.status, 2);
    }
    if (bad.option == "huge-flash") {
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(run_mkupdate({"check", dir.file("flash.bin")}, dir, true).status, 1);  // no update file is that long
    }
    EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
    EXPECT_EQ(result.err.rfind("mkupdate: ", 0), 0u) << result.err;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
        EXPECT_EQ(entry.path().filename().string().find("update"), std::string::npos) << entry.path();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MkupdateBadInput,
    ::testing::Values(BadPack{"flash_one_byte_short", "short-flash", ""}, BadPack{"hex_checksum_error", "bad-hex", ""},
                      BadPack{"missing_flash", "--flash", ""}, BadPack{"flash_not_found", "--flash", "/no/such/file"},
                      BadPack{"flash_is_a_folder", "--flash", "/tmp"}, BadPack{"stub_not_an_updater", "--stub", "/bin/true"},
                      BadPack{"eeprom_too_long", "--eeprom", UPDATER_BIN}, BadPack{"device_with_blank", "--device", "VOR NIK"},
                      BadPack{"header_too_long", "--device", "A-VERY-LONG-DEVICE-NAME-X"},
                      BadPack{"unknown_option", "--colour", "red"}, BadPack{"out_in_missing_folder", "-o", "/no/such/folder/update"},
                      BadPack{"hex_without_data", "empty-hex", ""}, BadPack{"out_is_a_fifo", "fifo-out", ""},
                      BadPack{"out_links_in_a_loop", "loop-out", ""}, BadPack{"flash_of_a_gigabyte", "huge-flash", ""},
                      BadPack{"offset_other_than_the_stubs", "--payload-offset", "3145728"},
                      BadPack{"offset_without_room_for_the_digest", "--payload-offset", "40"},
                      BadPack{"huge_offset", "--payload-offset", "2000000000"},
                      BadPack{"sign_with_a_public_key", "--sign", "openssl ecparam -name prime256v1 -genkey | openssl pkey -pubout -out KEY"},
                      BadPack{"sign_with_rsa", "--sign", "openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:1024 -out KEY"},
                      BadPack{"sign_with_p384", "--sign", "openssl ecparam -name secp384r1 -genkey -out KEY"},
                      BadPack{"sign_with_an_encrypted_key", "--sign", "openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -aes256 -pass pass:x -out KEY"},
                      BadPack{"sign_with_no_pem", "--sign", "cp flash.bin KEY"},
                      BadPack{"sign_with_no_file", "--sign", "echo KEY"}),
    [](const auto& row) { return std::string(row.param.name); });

TEST_F(Mkupdate, CheckRejectsWrongLengthDamagedRecordAndBrokenHeader) {
    const std::vector<uint8_t> good = test_files::read_file(pack());
    const size_t payload = good.size() - core::PAYLOAD_SIZE;
    struct Damage {
        std::string expected_line;
        std::function<void(std::vector<uint8_t>&)> apply;
    };
    const std::vector<Damage> damages = {
        {"Length: " + std::to_string(good.size() - 1) + " bytes, expected " + std::to_string(good.size()) + ": WRONG",
         [](auto& f) { f.pop_back(); }},
        {"Records: checksum error in record 499 (address F980)", [&](auto& f) { f[payload + 32 + 499 * 129 + 5] ^= 1; }},
        {"Header: header lacks one of its three fields", [&](auto& f) { std::fill_n(f.begin() + static_cast<long>(payload) + 15, 13, ' '); }},
        {"Header: header does not end in CR LF CR LF", [&](auto& f) { f[payload + 31] = ' '; }},
    };
    for (const Damage& damage : damages) {
        std::vector<uint8_t> file = good;
        damage.apply(file);
        test_files::write_file(dir.file("damaged"), file);
        const Result result = run_mkupdate({"check", dir.file("damaged")}, dir);
        EXPECT_EQ(result.status, 1) << damage.expected_line;
        EXPECT_NE(result.out.find(damage.expected_line + "\n"), std::string::npos) << result.out;
        EXPECT_NE(result.out.find("Not a valid update file\n"), std::string::npos);
    }
}

// Output of a shell command run in folder, or "" when it fails.
std::string shell_output(const std::string& command, const test_files::TempDir& folder) {
    const std::string out = folder.file("shell.out");
    if (std::system(("cd '" + folder.path() + "' && (" + command + ") >'" + out + "' 2>/dev/null").c_str()) != 0) return "";
    const std::vector<uint8_t> bytes = test_files::read_file(out);
    return std::string(bytes.begin(), bytes.end());
}

struct Signing {
    const char* name;
    const char* file;  // signed_a, unsigned, header, flash, eeprom, openssl, resigned_b
    std::vector<std::string> keys;
    int status;
    std::string signature;  // the check's signature line after "Signature: ", KEY_A for A's id
};

// Keys made with openssl in both forms vendors have them; files signed with A by pack --sign, then
// changed with their digest recorded anew, signed by openssl dgst over the documented statement,
// and signed again with B: check --key takes only what one of its keys signed.
TEST_F(Mkupdate, CheckWithKeysTakesOnlyFilesOneOfThemSigned) {
    ASSERT_NE(shell_output("openssl ecparam -name prime256v1 -genkey -out A.key && openssl pkey -in A.key -pubout -out A.pub"
                           " && openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out B.key"
                           " && openssl pkey -in B.key -pubout -out B.pub && echo made", dir), "");
    // The key's id: the first 8 bytes of the SHA-256 of its DER.
    const std::string id_a = shell_output("openssl pkey -pubin -in A.pub -outform DER | sha256sum", dir).substr(0, 16);
    std::vector<std::string> signed_args = pack_args(dir.file("signed_a"));
    signed_args.insert(signed_args.end() - 2, {"--sign", dir.file("A.key")});
    ASSERT_EQ(run_mkupdate(signed_args, dir).status, 0);
    ASSERT_EQ(run_mkupdate(pack_args(dir.file("unsigned")), dir).status, 0);
    const std::vector<uint8_t> signed_a = test_files::read_file(dir.file("signed_a"));
    const std::vector<uint8_t> unsigned_file = test_files::read_file(dir.file("unsigned"));
    ASSERT_EQ(signed_a.size(), unsigned_file.size());
    const size_t payload = signed_a.size() - core::PAYLOAD_SIZE;
    // Only the signature block differs, in the padding before the digest block.
    for (size_t i = 0; i < signed_a.size(); ++i) {
        if (signed_a[i] != unsigned_file[i]) {
            ASSERT_TRUE(i >= payload - 48 - 144 && i < payload - 48) << i;
        }
    }
    auto changed = [&](const std::string& name, size_t at) {
        std::vector<uint8_t> file = signed_a;
        file[at] ^= 0x01;
        if (name == "flash") file[at + 1] ^= 0x01;  // the record's checksum byte, so that only the digest tells
        test_files::reseal(file);
        test_files::write_file(dir.file(name), file);
    };
    changed("header", payload);  // VORNIK-5 becomes WORNIK-5: another device's header
    changed("flash", payload + 32 + 499 * 129 + 127);
    changed("eeprom", payload + 32 + 64500 + 2047);
    // The documented statement, signed by openssl and put into the unsigned file.
    uint8_t digest[32];
    ASSERT_TRUE(core::sha256(unsigned_file.data() + payload, core::PAYLOAD_SIZE, digest));
    std::string statement("UPDATER-SIGNED:\x01", 16);
    statement.append(reinterpret_cast<const char*>(digest), sizeof digest);
    for (size_t k = 0; k < 8; ++k) statement += static_cast<char>(std::stoul(id_a.substr(2 * k, 2), nullptr, 16));
    test_files::write_file(dir.file("statement"), std::vector<uint8_t>(statement.begin(), statement.end()));
    ASSERT_NE(shell_output("openssl dgst -sha256 -sign A.key -out statement.sig statement && cp unsigned openssl && echo", dir), "");
    ASSERT_EQ(run_mkupdate({"sign", "--key", dir.file("A.pub"), "--signature", dir.file("statement.sig"), dir.file("openssl")}, dir).status, 0);
    ASSERT_NE(shell_output("cp signed_a resigned_b && echo", dir), "");
    ASSERT_EQ(run_mkupdate({"sign", "--key", dir.file("B.key"), dir.file("resigned_b")}, dir).status, 0);
    ASSERT_EQ(run_mkupdate({"keygen", "-o", dir.file("K")}, dir).status, 0);
    ASSERT_NE(shell_output("cp unsigned by_keygen && echo", dir), "");
    ASSERT_EQ(run_mkupdate({"sign", "--key", dir.file("K.key"), dir.file("by_keygen")}, dir).status, 0);

    const std::vector<Signing> rows = {
        {"signed by A, checked against A", "signed_a", {"A.pub"}, 0, "signed by key KEY_A"},
        {"signed by A, checked against B and A", "signed_a", {"B.pub", "A.pub"}, 0, "signed by key KEY_A"},
        {"signed by A, checked against B", "signed_a", {"B.pub"}, 1, "signed by another key (KEY_A)"},
        {"signed by A, no key: its own", "signed_a", {}, 0, "signed by key KEY_A"},
        {"unsigned, checked against A", "unsigned", {"A.pub"}, 1, "not signed"},
        {"unsigned, no key", "unsigned", {}, 0, "not signed"},
        {"header changed, digest recorded anew", "header", {"A.pub"}, 1, "signature does not match (key KEY_A)"},
        {"FLASH byte changed, digest recorded anew", "flash", {"A.pub"}, 1, "signature does not match (key KEY_A)"},
        {"EEPROM byte changed, digest recorded anew", "eeprom", {"A.pub"}, 1, "signature does not match (key KEY_A)"},
        {"changed, no key: its own does not match", "header", {}, 0, "signature does not match (key KEY_A)"},
        {"openssl's signature of the statement", "openssl", {"A.pub"}, 0, "signed by key KEY_A"},
        {"signed again by B", "resigned_b", {"A.pub"}, 1, "signed by another key"},
        {"signed with a key keygen made", "by_keygen", {"K.pub"}, 0, "signed by key"},
        {"a private key given for --key", "signed_a", {"A.key"}, 2, ""},
    };
    for (const Signing& row : rows) {
        std::vector<std::string> args = {"check"};
        for (const std::string& key : row.keys) args.insert(args.end(), {"--key", dir.file(key)});
        args.push_back(dir.file(row.file));
        const Result result = run_mkupdate(args, dir);
        EXPECT_EQ(result.status, row.status) << row.name << "\n" << result.out << result.err;
        std::string line = "Signature: " + row.signature;
        if (line.find("KEY_A") != std::string::npos) line.replace(line.find("KEY_A"), 5, id_a);
        if (row.status == 2) EXPECT_EQ(result.err, "mkupdate: " + dir.file("A.key") + ": a private key, where the public key is needed\n");
        else EXPECT_NE(result.out.find(line), std::string::npos) << row.name << "\n" << result.out;
    }
}

// Load files as the common converters write them (SRecord's srec_cat, binutils' objcopy) pack to the
// same update file as the raw image.
TEST_F(Mkupdate, LoadFilesOfTheCommonConvertersPackLikeTheRawImage) {
    ASSERT_EQ(run_mkupdate(pack_args(dir.file("from-raw")), dir).status, 0);
    const std::vector<uint8_t> expected = test_files::read_file(dir.file("from-raw"));
    const std::string raw = dir.file("flash.bin");
    const std::vector<std::pair<std::string, std::string>> conversions = {
        {"srec.hex", "srec_cat " + raw + " -binary -o OUT -intel"},
        {"srec-long-lines.hex", "srec_cat " + raw + " -binary -o OUT -intel -line-length=76"},
        {"srec-short-lines.hex", "srec_cat " + raw + " -binary -o OUT -intel -line-length=20"},
        {"objcopy.hex", "objcopy -I binary -O ihex " + raw + " OUT"},
        {"srec.s19", "srec_cat " + raw + " -binary -o OUT -motorola"},
        {"srec.s28", "srec_cat " + raw + " -binary -o OUT -motorola -address-length=3"},
        {"srec.s37", "srec_cat " + raw + " -binary -o OUT -motorola -address-length=4"},
        {"objcopy.srec", "objcopy -I binary -O srec " + raw + " OUT"},
        {"objcopy.s37", "objcopy -I binary -O srec --srec-forceS3 " + raw + " OUT"},
    };
    for (const auto& [name, command] : conversions) {
        std::string line = command;
        line.replace(line.find("OUT"), 3, dir.file(name));
        ASSERT_EQ(std::system((line + " 2>/dev/null").c_str()), 0) << line;
        std::vector<std::string> args = pack_args(dir.file("from-" + name));
        args[4] = dir.file(name);
        const Result result = run_mkupdate(args, dir);
        EXPECT_EQ(result.status, 0) << name << ": " << result.err;
        EXPECT_TRUE(test_files::read_file(dir.file("from-" + name)) == expected) << name;
    }
}

TEST_F(Mkupdate, CheckShowsThePayloadDigestAsSha256sumComputesIt) {
    const std::string path = pack();
    const std::string command = "tail -c " + std::to_string(core::PAYLOAD_SIZE) + " '" + path + "' | sha256sum";
    std::FILE* sum = popen(command.c_str(), "r");
    ASSERT_NE(sum, nullptr);
    char hex[65] = "";
    ASSERT_EQ(std::fscanf(sum, "%64s", hex), 1);
    pclose(sum);
    Result result = run_mkupdate({"check", path}, dir);
    EXPECT_EQ(result.status, 0);
    EXPECT_NE(result.out.find("Payload SHA-256: " + std::string(hex) + ": matches\n"), std::string::npos) << result.out;

    std::vector<uint8_t> file = test_files::read_file(path);
    file[file.size() - 1] ^= 1;  // the EEPROM area's last byte: no record checksum covers it
    test_files::write_file(dir.file("damaged"), file);
    result = run_mkupdate({"check", dir.file("damaged")}, dir);
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.out.find(": WRONG\nSignature: not signed\nNot a valid update file\n"), std::string::npos) << result.out;
    // Zeroed from the digest block on, as a download cut short into a pre-sized file is.
    std::fill(file.end() - core::PAYLOAD_SIZE - core::DIGEST_BLOCK_SIZE, file.end(), 0);
    test_files::write_file(dir.file("zeroed"), file);
    result = run_mkupdate({"check", dir.file("zeroed")}, dir);
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.out.find(": absent\nSignature: not signed\nNot a valid update file\n"), std::string::npos) << result.out;
}

// Installed into a prefix, mkupdate finds the installed stub by its target system.
TEST_F(Mkupdate, InstalledPackerFindsTheInstalledStubByTarget) {
    const std::string prefix = dir.file("prefix");
    ASSERT_EQ(std::system(("cmake --install '" UPDATER_BUILD_DIR "' --prefix '" + prefix + "' >/dev/null").c_str()), 0);
    for (const char* installed : {"/bin/mkupdate", "/bin/loader-sim", "/lib/serial-updater/updater-linux"}) {
        EXPECT_EQ(access((prefix + installed).c_str(), X_OK), 0) << installed;
    }
    ASSERT_EQ(run_mkupdate(pack_args(dir.file("from-build")), dir).status, 0);
    std::vector<std::string> args = pack_args(dir.file("from-prefix"));
    args[1] = "--target";
    args[2] = "linux";
    std::string command = prefix + "/bin/mkupdate";
    for (const std::string& arg : args) command += " '" + arg + "'";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    EXPECT_TRUE(test_files::read_file(dir.file("from-prefix")) == test_files::read_file(dir.file("from-build")));

    args[2] = "windows";  // not installed here
    command = prefix + "/bin/mkupdate";
    for (const std::string& arg : args) command += " '" + arg + "'";
    EXPECT_NE(std::system((command + " 2>/dev/null").c_str()), 0);
}

TEST_F(Mkupdate, PathsAreShownWithoutTheirControlCharacters) {
    const Result result = run_mkupdate({"check", dir.file("no\x1b]0;x\x07such")}, dir);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "mkupdate: " + dir.path() + "/no?]0;x?such: cannot open: No such file or directory\n");
}

TEST_F(Mkupdate, CheckWhoseReportCannotBeWrittenFails) {
    const std::string command = std::string(MKUPDATE_BIN) + " check '" + pack() + "' >/dev/full 2>" + dir.file("stderr");
    const int status = std::system(command.c_str());
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2) << status;
    const std::vector<uint8_t> err = test_files::read_file(dir.file("stderr"));
    EXPECT_EQ(std::string(err.begin(), err.end()), "mkupdate: cannot write the report: No space left on device\n");
}

}  // namespace
}  // namespace e2e
