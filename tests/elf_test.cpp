// The shared object's dynamic interface, read from the built file: what it
// exports, what it imports and how, what it needs, what runs at load time
// and what it can write. CONV_TA_ELF_FILE names another build of the
// library to read, such as one built for another instruction-set level.
#include "conv_TA.h"

#include <elf.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

class ElfFile {
  public:
    explicit ElfFile(const char* path) {
        std::ifstream in(path, std::ios::binary);
        bytes_.assign(std::istreambuf_iterator<char>(in), {});
        if (valid())
            sections_ = table<Elf64_Shdr>(header().e_shoff, header().e_shnum);
    }
    bool valid() const {
        return bytes_.size() >= sizeof(Elf64_Ehdr) &&
               std::memcmp(bytes_.data(), ELFMAG, SELFMAG) == 0 && bytes_[EI_CLASS] == ELFCLASS64;
    }
    const Elf64_Ehdr& header() const { return at<Elf64_Ehdr>(0); }
    std::vector<Elf64_Phdr> segments() const {
        return table<Elf64_Phdr>(header().e_phoff, header().e_phnum);
    }
    const std::vector<Elf64_Shdr>& sections() const { return sections_; }

    std::string section_name(const Elf64_Shdr& s) const {
        return string_at(sections_.at(header().e_shstrndx).sh_offset + s.sh_name);
    }
    const Elf64_Shdr* section(const std::string& name) const {
        for (const Elf64_Shdr& s : sections_)
            if (section_name(s) == name)
                return &s;
        return nullptr;
    }
    template <class T>
    std::vector<T> entries(const Elf64_Shdr& s) const {
        return table<T>(s.sh_offset, s.sh_size / sizeof(T));
    }
    std::string string_at(std::size_t offset) const { return std::string(&bytes_.at(offset)); }

  private:
    template <class T>
    const T& at(std::size_t offset) const {
        if (offset + sizeof(T) > bytes_.size())
            throw std::out_of_range("truncated ELF file");
        return *reinterpret_cast<const T*>(bytes_.data() + offset);
    }
    template <class T>
    std::vector<T> table(std::size_t offset, std::size_t count) const {
        std::vector<T> out;
        for (std::size_t i = 0; i < count; ++i)
            out.push_back(at<T>(offset + i * sizeof(T)));
        return out;
    }
    std::vector<char> bytes_;
    std::vector<Elf64_Shdr> sections_;
};

const char* library_file() {
    const char* file = std::getenv("CONV_TA_ELF_FILE");
    return file != nullptr ? file : CONV_TA_LIBRARY_PATH;
}

class ElfContract : public testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(elf.valid()) << "cannot read " << library_file(); }

    std::vector<Elf64_Dyn> dynamic() const {
        return elf.entries<Elf64_Dyn>(*elf.section(".dynamic"));
    }
    std::vector<Elf64_Sym> dynamic_symbols() const {
        return elf.entries<Elf64_Sym>(*elf.section(".dynsym"));
    }
    std::string symbol_name(const Elf64_Sym& sym) const {
        return elf.string_at(elf.section(".dynstr")->sh_offset + sym.st_name);
    }
    std::set<Elf64_Sxword> dynamic_tags() const {
        std::set<Elf64_Sxword> tags;
        for (const Elf64_Dyn& d : dynamic())
            tags.insert(d.d_tag);
        return tags;
    }
    Elf64_Xword dynamic_value(Elf64_Sxword tag) const {
        for (const Elf64_Dyn& d : dynamic())
            if (d.d_tag == tag)
                return d.d_un.d_val;
        return 0;
    }

    ElfFile elf{library_file()};
};

TEST_F(ElfContract, IsAPositionIndependentSharedObjectForX8664) {
    EXPECT_EQ(elf.header().e_type, ET_DYN);
    EXPECT_EQ(elf.header().e_machine, EM_X86_64);
    EXPECT_FALSE(dynamic_tags().contains(DT_TEXTREL));
    EXPECT_EQ(dynamic_value(DT_FLAGS) & DF_TEXTREL, 0u);
    for (const Elf64_Phdr& p : elf.segments()) {
        EXPECT_NE(p.p_type, static_cast<Elf64_Word>(PT_INTERP));
        if (p.p_type == PT_GNU_STACK) {
            EXPECT_EQ(p.p_flags & PF_X, 0u) << "executable stack";
        }
    }
}

TEST_F(ElfContract, ExportsConvolutionTAAlone) {
    std::vector<std::string> defined;
    for (const Elf64_Sym& sym : dynamic_symbols()) {
        if (sym.st_shndx == SHN_UNDEF)
            continue;
        defined.push_back(symbol_name(sym));
        EXPECT_EQ(ELF64_ST_TYPE(sym.st_info), STT_FUNC);
        EXPECT_EQ(ELF64_ST_BIND(sym.st_info), STB_GLOBAL);
        EXPECT_EQ(ELF64_ST_VISIBILITY(sym.st_other), STV_DEFAULT);
    }
    EXPECT_EQ(defined, std::vector<std::string>{"convolution_TA"});
}

TEST_F(ElfContract, ImportsOnlyAStrongConvolutionRefThroughThePlt) {
    std::vector<std::string> undefined;
    std::size_t ref_index = 0;
    const std::vector<Elf64_Sym> symbols = dynamic_symbols();
    for (std::size_t i = 1; i < symbols.size(); ++i) {
        if (symbols[i].st_shndx != SHN_UNDEF)
            continue;
        undefined.push_back(symbol_name(symbols[i]));
        EXPECT_EQ(ELF64_ST_BIND(symbols[i].st_info), STB_GLOBAL) << "weak or local import";
        ref_index = i;
    }
    ASSERT_EQ(undefined, std::vector<std::string>{"convolution_ref"});

    // A jump slot in the PLT's relocations, and no GOT entry beside it: a
    // GOT-indirect call would bind it when the library is loaded.
    int jump_slots = 0, other_uses = 0;
    for (const Elf64_Shdr& s : elf.sections()) {
        if (s.sh_type != SHT_RELA)
            continue;
        for (const Elf64_Rela& r : elf.entries<Elf64_Rela>(s)) {
            if (ELF64_R_SYM(r.r_info) != ref_index)
                continue;
            if (ELF64_R_TYPE(r.r_info) == R_X86_64_JUMP_SLOT && elf.section_name(s) == ".rela.plt")
                ++jump_slots;
            else
                ++other_uses;
        }
    }
    EXPECT_EQ(jump_slots, 1);
    EXPECT_EQ(other_uses, 0);
}

TEST_F(ElfContract, IsBoundLazilyAndNeedsNoLibrary) {
    const std::set<Elf64_Sxword> tags = dynamic_tags();
    EXPECT_FALSE(tags.contains(DT_NEEDED));
    EXPECT_FALSE(tags.contains(DT_BIND_NOW));
    EXPECT_EQ(dynamic_value(DT_FLAGS) & DF_BIND_NOW, 0u);
    EXPECT_EQ(dynamic_value(DT_FLAGS_1) & DF_1_NOW, 0u);
    EXPECT_TRUE(tags.contains(DT_JMPREL)) << "no PLT relocations";
}

// Hosts find the library by its SONAME, which changes with the header's major
// version and with nothing else.
TEST_F(ElfContract, IsNamedByTheHeadersMajorVersion) {
    ASSERT_TRUE(dynamic_tags().contains(DT_SONAME));
    EXPECT_EQ(elf.string_at(elf.section(".dynstr")->sh_offset + dynamic_value(DT_SONAME)),
              "libconv_TA.so." + std::to_string(CONV_TA_VERSION_MAJOR));
}

TEST_F(ElfContract, RunsNothingAtLoadOrUnload) {
    const std::set<Elf64_Sxword> tags = dynamic_tags();
    for (Elf64_Sxword tag : {DT_INIT, DT_FINI, DT_INIT_ARRAY, DT_FINI_ARRAY, DT_PREINIT_ARRAY})
        EXPECT_FALSE(tags.contains(tag)) << "dynamic tag " << tag;
    for (const Elf64_Shdr& s : elf.sections()) {
        for (const Elf64_Rela& r :
             s.sh_type == SHT_RELA ? elf.entries<Elf64_Rela>(s) : std::vector<Elf64_Rela>{})
            EXPECT_NE(ELF64_R_TYPE(r.r_info), static_cast<Elf64_Xword>(R_X86_64_IRELATIVE))
                << "an ifunc resolver runs at load time";
    }
}

TEST_F(ElfContract, HoldsNoWritableGlobalState) {
    // The loader's own tables are writable; nothing else may be.
    const std::set<std::string> loader_tables = {".dynamic", ".got", ".got.plt"};
    for (const Elf64_Shdr& s : elf.sections()) {
        if ((s.sh_flags & SHF_WRITE) == 0 || s.sh_size == 0)
            continue;
        EXPECT_TRUE(loader_tables.contains(elf.section_name(s)))
            << "writable section " << elf.section_name(s) << " of " << s.sh_size << " bytes";
    }
    for (const char* name : {".data", ".bss", ".tdata", ".tbss"}) {
        const Elf64_Shdr* s = elf.section(name);
        EXPECT_TRUE(s == nullptr || s->sh_size == 0) << name << " is not empty";
    }
}

// Streaming stores are weakly ordered: without the fence after them, a store
// the caller makes next (say, a flag for another thread) could be seen first.
// The library's instructions, read back with objdump, must fence any
// streaming store; CONV_TA_ELF_STREAMS=1 says this build must have them.
TEST_F(ElfContract, StreamingStoresAreFenced) {
    const std::string command =
        std::string("objdump -d --no-show-raw-insn '") + library_file() + "' 2>/dev/null";
    FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    int streaming = 0, fences = 0, lines = 0;
    char line[512];
    while (std::fgets(line, sizeof line, pipe) != nullptr) {
        ++lines;
        streaming += std::strstr(line, "\tvmovnt") != nullptr || std::strstr(line, "\tmovnt");
        fences += std::strstr(line, "\tsfence") != nullptr || std::strstr(line, "\tmfence");
    }
    const int status = pclose(pipe);
    if (lines == 0 || status != 0)
        GTEST_SKIP() << "objdump (binutils) is needed to read the instructions";
    const char* expected = std::getenv("CONV_TA_ELF_STREAMS");
    const bool must_stream = expected != nullptr && std::strcmp(expected, "1") == 0;
    EXPECT_TRUE(!must_stream || streaming > 0) << "this build was expected to stream large outputs";
    EXPECT_TRUE(streaming == 0 || fences > 0)
        << streaming << " streaming stores and no fence after them";
}

} // namespace
