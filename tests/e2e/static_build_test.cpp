// The updater is shipped inside update files that run on other machines: it must need no shared
// library, which an ELF executable shows by having no program interpreter.
#include <elf.h>
#include <gtest/gtest.h>

#include <cstring>

#include "test_files.h"

namespace {

TEST(UpdaterExecutable, NeedsNoSharedLibraries) {
#ifndef UPDATER_IS_STATIC
    GTEST_SKIP() << "this build links the updater dynamically";
#endif
    const std::vector<uint8_t> image = test_files::read_file(UPDATER_BIN);
    ASSERT_GE(image.size(), sizeof(Elf64_Ehdr));
    Elf64_Ehdr header;
    std::memcpy(&header, image.data(), sizeof header);
    ASSERT_EQ(std::memcmp(header.e_ident, ELFMAG, SELFMAG), 0);
    ASSERT_EQ(header.e_ident[EI_CLASS], ELFCLASS64);
    for (unsigned i = 0; i < header.e_phnum; ++i) {
        Elf64_Phdr segment;
        const size_t at = header.e_phoff + i * static_cast<size_t>(header.e_phentsize);
        ASSERT_LE(at + sizeof segment, image.size());
        std::memcpy(&segment, image.data() + at, sizeof segment);
        EXPECT_NE(segment.p_type, static_cast<uint32_t>(PT_INTERP)) << "the updater asks for a dynamic loader";
    }
}

}  // namespace
