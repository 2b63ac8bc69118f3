// mkupdate: packs a firmware image behind an updater stub into an update file, and checks update
// files.
#include <cstdio>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "load_file.h"
#include "pack.h"
#include "sign.h"
#include "frontend/key_file.h"
#include "frontend/shown_text.h"
#include "core/layout.h"
#include "core/payload.h"
#include "core/signature_tail.h"

namespace {

const char USAGE[] =
    "usage: mkupdate pack (--stub STUB | --target linux|windows) --flash FLASH --device NAME\n"
    "                     --version VER --year YEAR [--eeprom EEPROM] [--payload-offset N]\n"
    "                     [--sign KEY] -o OUT\n"
    "       mkupdate check [--payload-offset N] [--key PUB]... FILE\n"
    "       mkupdate sign --key KEY [--payload-offset N] FILE\n"
    "       mkupdate sign --key PUB --signature SIG [--payload-offset N] FILE\n"
    "       mkupdate keygen -o NAME\n"
    "\n"
    "--target takes the installed updater stub for that system, from ../lib/serial-updater beside\n"
    "mkupdate's own folder (cmake --install puts them there).\n"
    "FLASH: a raw binary of exactly 64,000 bytes, or a load file: Intel HEX (.hex) or Motorola\n"
    "S-record (.srec, .s19, .mot), where bytes not given are 0xFF. EEPROM: a raw binary of at most\n"
    "2,048 bytes or a load file; the rest is 0xFF, and without --eeprom all of it.\n"
    "check exits 0 for a valid update file, 1 for any other file, and 2 when its report cannot be\n"
    "written; with --key (P-256 public keys in PEM), 1 also unless one of them signed the file.\n"
    "--sign and sign --key KEY sign the file with a P-256 private key in PEM; sign --signature puts\n"
    "in a signature made elsewhere (DER, as openssl dgst -sha256 -sign writes it) over the file's\n"
    "statement (see docs/architecture.md), checked against PUB first. keygen makes NAME.key and\n"
    "NAME.pub. A key that cannot be used ends mkupdate with status 2, nothing written.\n";

constexpr int EXIT_INVALID = 1;
constexpr int EXIT_USAGE = 2;

int fail(const std::string& message, int status = EXIT_INVALID) {
    std::fprintf(stderr, "mkupdate: %s\n", frontend::shown_text(message).c_str());
    return status;
}

// Splits "--name value" pairs and plain arguments; false on an option without its value or one
// that is not known. --key may come several times where keys takes its values.
bool parse_options(int argc, char** argv, int first, const std::vector<std::string>& known,
                   std::map<std::string, std::string>& options, std::vector<std::string>& plain,
                   std::string& error, std::vector<std::string>* keys = nullptr) {
    for (int i = first; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.size() < 2 || arg[0] != '-') {
            plain.push_back(arg);
            continue;
        }
        bool is_known = false;
        for (const std::string& name : known) is_known = is_known || name == arg;
        if (!is_known) {
            error = "unknown option " + arg;
            return false;
        }
        if (i + 1 >= argc) {
            error = "option " + arg + " needs a value";
            return false;
        }
        if (keys != nullptr && arg == "--key") {
            keys->push_back(argv[++i]);
            continue;
        }
        if (options.count(arg) != 0) {
            error = "option " + arg + " given twice";
            return false;
        }
        options[arg] = argv[++i];
    }
    return true;
}

// The --payload-offset value, or -1 when absent; false when it is not a whole number with room for
// the digest block before it and no larger than any stub's.
bool payload_offset_option(const std::map<std::string, std::string>& options, long& offset) {
    offset = -1;
    const auto it = options.find("--payload-offset");
    if (it == options.end()) return true;
    char* end = nullptr;
    errno = 0;
    const unsigned long value = std::strtoul(it->second.c_str(), &end, 0);
    if (it->second.empty() || *end != '\0' || it->second[0] == '-' || errno != 0 ||
        value < core::DIGEST_BLOCK_SIZE || value > static_cast<unsigned long>(mkupdate::MAX_PAYLOAD_OFFSET)) {
        return false;
    }
    offset = static_cast<long>(value);
    return true;
}

// The installed stub for a target system: beside the installed mkupdate (PREFIX/bin), under
// PREFIX/lib/serial-updater. Empty for an unknown target.
std::string installed_stub(const std::string& target) {
    const char* name = target == "linux" ? "updater-linux" : target == "windows" ? "updater-windows.exe" : nullptr;
    if (name == nullptr) return "";
    char self[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    std::string folder = length > 0 ? std::string(self, static_cast<size_t>(length)) : std::string(".");
    folder = folder.substr(0, folder.rfind('/') == std::string::npos ? 0 : folder.rfind('/'));
    return folder + "/../lib/serial-updater/" + name;
}

int pack(int argc, char** argv) {
    std::map<std::string, std::string> options;
    std::vector<std::string> plain;
    std::string error;
    if (!parse_options(argc, argv, 2,
                       {"--stub", "--target", "--flash", "--eeprom", "--device", "--version", "--year", "--payload-offset",
                        "--sign", "-o"},
                       options, plain, error)) {
        return fail(error, EXIT_USAGE);
    }
    if (!plain.empty()) return fail("unexpected argument " + plain[0], EXIT_USAGE);
    if (options.count("--stub") + options.count("--target") != 1) return fail("pack needs --stub or --target", EXIT_USAGE);
    if (options.count("--target") != 0) {
        const std::string stub = installed_stub(options["--target"]);
        if (stub.empty()) return fail("unknown --target " + options["--target"] + " (linux or windows)", EXIT_USAGE);
        options["--stub"] = stub;
    }
    for (const char* required : {"--flash", "--device", "--version", "--year", "-o"}) {
        if (options.count(required) == 0) return fail(std::string("pack needs ") + required, EXIT_USAGE);
    }

    mkupdate::PackInput input;
    if (!payload_offset_option(options, input.payload_offset)) return fail("bad --payload-offset", EXIT_USAGE);
    if (!mkupdate::output_path_usable(options["-o"], error)) return fail(error, EXIT_USAGE);
    // The key first: one that cannot be used stops everything.
    mkupdate::PrivateKey key;
    const bool signing = options.count("--sign") != 0;
    if (signing && !key.read(options["--sign"], error)) return fail(error, EXIT_USAGE);
    input.device_name = options["--device"];
    input.version = options["--version"];
    input.year = options["--year"];
    if (!mkupdate::read_whole_file(options["--stub"], mkupdate::MAX_PAYLOAD_OFFSET, input.stub, error) ||
        !mkupdate::read_image(options["--flash"], core::FLASH_DATA_SIZE, mkupdate::RawSize::exact,
                              input.flash, error)) {
        return fail(error);
    }
    if (options.count("--eeprom") != 0) {
        if (!mkupdate::read_image(options["--eeprom"], core::EEPROM_SIZE,
                                  mkupdate::RawSize::at_most, input.eeprom, error)) {
            return fail(error);
        }
    }
    std::vector<uint8_t> out;
    if (!mkupdate::build_update_file(input, out, error)) return fail(error);
    if (signing && !mkupdate::sign_update_file(out, static_cast<long>(out.size() - core::PAYLOAD_SIZE), key, error)) {
        return fail(error);
    }
    if (!mkupdate::write_file_atomically(options["-o"], out, 0755, error)) return fail(error);
    return EXIT_SUCCESS;
}

// No update file is longer than the largest stub's payload followed by a signature.
constexpr size_t LARGEST = mkupdate::MAX_PAYLOAD_OFFSET + core::PAYLOAD_SIZE + core::MAX_SIGNATURE_ALIGNMENT +
                           core::MAX_SIGNATURE_SIZE;

int check(int argc, char** argv) {
    std::map<std::string, std::string> options;
    std::vector<std::string> plain, key_files;
    std::string error;
    if (!parse_options(argc, argv, 2, {"--payload-offset", "--key"}, options, plain, error, &key_files)) {
        return fail(error, EXIT_USAGE);
    }
    if (plain.size() != 1) return fail("check needs one FILE", EXIT_USAGE);
    long offset = -1;
    if (!payload_offset_option(options, offset)) return fail("bad --payload-offset", EXIT_USAGE);
    core::TrustedKeys keys(key_files.size());
    for (size_t k = 0; k < key_files.size(); ++k) {
        if (!frontend::read_public_key_file(key_files[k], keys[k], error)) return fail(error, EXIT_USAGE);
    }
    std::vector<uint8_t> file;
    if (!mkupdate::read_whole_file(plain[0], LARGEST, file, error)) return fail(error);
    std::printf("File: %s\n", frontend::shown_text(plain[0]).c_str());
    const bool valid = mkupdate::check_update_file(file, offset, keys, stdout);
    // A verdict that did not reach its reader is no verdict.
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        return fail(std::string("cannot write the report: ") + std::strerror(errno), EXIT_USAGE);
    }
    return valid ? EXIT_SUCCESS : EXIT_INVALID;
}

int sign(int argc, char** argv) {
    std::map<std::string, std::string> options;
    std::vector<std::string> plain;
    std::string error;
    if (!parse_options(argc, argv, 2, {"--key", "--signature", "--payload-offset"}, options, plain, error)) {
        return fail(error, EXIT_USAGE);
    }
    if (plain.size() != 1) return fail("sign needs one FILE", EXIT_USAGE);
    if (options.count("--key") == 0) return fail("sign needs --key", EXIT_USAGE);
    long offset = -1;
    if (!payload_offset_option(options, offset)) return fail("bad --payload-offset", EXIT_USAGE);
    // The key, and a signature brought along, before the file.
    const bool brought = options.count("--signature") != 0;
    mkupdate::PrivateKey private_key;
    core::PublicKey public_key;
    std::vector<uint8_t> signature;
    if (brought ? !frontend::read_public_key_file(options["--key"], public_key, error) ||
                      !mkupdate::read_whole_file(options["--signature"], 4096, signature, error)
                : !private_key.read(options["--key"], error)) {
        return fail(error, EXIT_USAGE);
    }
    const std::string& path = plain[0];
    std::vector<uint8_t> file;
    struct stat info;
    if (!mkupdate::read_whole_file(path, LARGEST, file, error) || stat(path.c_str(), &info) != 0) {
        return fail(error.empty() ? path + ": " + std::strerror(errno) : error);
    }
    if (offset < 0) offset = core::find_payload_offset(file.data(), file.size());
    const bool signed_now = offset >= 0 && (brought ? mkupdate::insert_signature(file, offset, public_key, signature, error)
                                                    : mkupdate::sign_update_file(file, offset, private_key, error));
    if (!signed_now) return fail(frontend::shown_text(path) + ": " + (offset < 0 ? "no updater stub in it" : error));
    if (!mkupdate::write_file_atomically(path, file, info.st_mode & 07777, error)) return fail(error);
    return EXIT_SUCCESS;
}

int keygen(int argc, char** argv) {
    std::map<std::string, std::string> options;
    std::vector<std::string> plain;
    std::string error;
    if (!parse_options(argc, argv, 2, {"-o"}, options, plain, error)) return fail(error, EXIT_USAGE);
    if (!plain.empty()) return fail("unexpected argument " + plain[0], EXIT_USAGE);
    if (options.count("-o") == 0) return fail("keygen needs -o NAME", EXIT_USAGE);
    if (!mkupdate::make_key_pair(options["-o"], error)) return fail(error);
    core::PublicKey key;
    if (!frontend::read_public_key_file(options["-o"] + ".pub", key, error)) return fail(error);
    std::printf("Key %s: %s.key (private: keep it to yourself), %s.pub (public)\n", core::key_id_text(key.id).c_str(),
                frontend::shown_text(options["-o"]).c_str(), frontend::shown_text(options["-o"]).c_str());
    return EXIT_SUCCESS;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string command = argc > 1 ? argv[1] : "";
    if (command == "pack") return pack(argc, argv);
    if (command == "check") return check(argc, argv);
    if (command == "sign") return sign(argc, argv);
    if (command == "keygen") return keygen(argc, argv);
    if (command == "--help" || command == "-h") {
        std::fputs(USAGE, stdout);
        return EXIT_SUCCESS;
    }
    std::fputs(USAGE, stderr);
    return EXIT_USAGE;
}
