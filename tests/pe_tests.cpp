// The built uninst.exe as a file: its headers, imports, size and resources, read the way the
// loader and the dialog manager read them.
#include "support.h"

#include <algorithm>
#include <cctype>

using namespace test;

namespace {

std::string Upper(std::string text)
{
    for (char &c : text)
        c = (char)toupper((unsigned char)c);
    return text;
}

std::string Hex(DWORD value)
{
    char text[16];
    wsprintfA(text, "0x%08X", value);
    return text;
}

// The headers of the executable, and a way from a virtual address to the bytes of the file.
class PeFile {
public:
    explicit PeFile(const std::string &path) : bytes(ReadBytes(path)) {}
    std::string bytes;

    bool Valid() const
    {
        if (bytes.size() < sizeof(IMAGE_DOS_HEADER) || Dos()->e_magic != IMAGE_DOS_SIGNATURE)
            return false;
        return (size_t)Dos()->e_lfanew + sizeof(IMAGE_NT_HEADERS32) <= bytes.size()
            && Nt()->Signature == IMAGE_NT_SIGNATURE;
    }
    const IMAGE_DOS_HEADER *Dos() const { return (const IMAGE_DOS_HEADER *)bytes.data(); }
    const IMAGE_NT_HEADERS32 *Nt() const { return (const IMAGE_NT_HEADERS32 *)(bytes.data() + Dos()->e_lfanew); }

    // The file bytes at a virtual address, or null when no section holds it.
    const char *At(DWORD rva) const
    {
        const IMAGE_SECTION_HEADER *section = IMAGE_FIRST_SECTION(Nt());
        for (int i = 0; i < Nt()->FileHeader.NumberOfSections; i++, section++) {
            DWORD size = std::max(section->Misc.VirtualSize, section->SizeOfRawData);
            if (rva >= section->VirtualAddress && rva < section->VirtualAddress + size) {
                DWORD offset = rva - section->VirtualAddress + section->PointerToRawData;
                return offset < bytes.size() ? bytes.data() + offset : nullptr;
            }
        }
        return nullptr;
    }

    std::vector<std::string> ImportedLibraries() const
    {
        std::vector<std::string> names;
        const IMAGE_DATA_DIRECTORY &directory = Nt()->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
        const IMAGE_IMPORT_DESCRIPTOR *entry = (const IMAGE_IMPORT_DESCRIPTOR *)At(directory.VirtualAddress);
        for (; entry && entry->Name; entry++) {
            const char *name = At(entry->Name);
            names.push_back(name ? Upper(name) : "<name outside the file>");
        }
        std::sort(names.begin(), names.end());
        return names;
    }
};

TEST(Executable, IsA32BitGuiProgramForWindows4)
{
    PeFile pe(ShippedExe());
    ASSERT_TRUE(pe.Valid()) << ShippedExe() << ": not a PE file, " << pe.bytes.size() << " bytes";
    EXPECT_EQ(pe.Nt()->FileHeader.Machine, IMAGE_FILE_MACHINE_I386) << Hex(pe.Nt()->FileHeader.Machine);
    EXPECT_EQ(pe.Nt()->OptionalHeader.Magic, IMAGE_NT_OPTIONAL_HDR32_MAGIC) << Hex(pe.Nt()->OptionalHeader.Magic);
    EXPECT_TRUE(pe.Nt()->FileHeader.Characteristics & IMAGE_FILE_EXECUTABLE_IMAGE)
        << Hex(pe.Nt()->FileHeader.Characteristics);
    EXPECT_FALSE(pe.Nt()->FileHeader.Characteristics & IMAGE_FILE_DLL) << Hex(pe.Nt()->FileHeader.Characteristics);
    EXPECT_EQ(pe.Nt()->OptionalHeader.Subsystem, IMAGE_SUBSYSTEM_WINDOWS_GUI) << pe.Nt()->OptionalHeader.Subsystem;
    EXPECT_EQ(pe.Nt()->OptionalHeader.MajorSubsystemVersion, 4);
    EXPECT_EQ(pe.Nt()->OptionalHeader.MinorSubsystemVersion, 0);
}

// Only KnownDLLs, which the loader never looks for in the program's folder: anything else is loaded
// by the program itself, from the system directory.
TEST(Executable, ImportsOnlyKnownSystemLibraries)
{
    PeFile pe(ShippedExe());
    ASSERT_TRUE(pe.Valid()) << ShippedExe();
    std::vector<std::string> expected = {"ADVAPI32.DLL", "KERNEL32.DLL", "USER32.DLL"};
    EXPECT_EQ(pe.ImportedLibraries(), expected) << ::testing::PrintToString(pe.ImportedLibraries());
}

// Exploit protection that forces relocation refuses an image without relocations, and the loader
// honours DYNAMIC_BASE only in one that has them. Every address they move must lie in the image: a
// stray one would break the program only where it is loaded elsewhere, which Wine never does. No SEH:
// it registers no exception handlers. Terminal-server aware: it asks for the shared Windows directory
// itself.
TEST(Executable, CarriesItsRelocationsAndAsksForEveryProtection)
{
    PeFile pe(ShippedExe());
    ASSERT_TRUE(pe.Valid()) << ShippedExe();
    EXPECT_FALSE(pe.Nt()->FileHeader.Characteristics & IMAGE_FILE_RELOCS_STRIPPED)
        << Hex(pe.Nt()->FileHeader.Characteristics);
    const IMAGE_OPTIONAL_HEADER32 &header = pe.Nt()->OptionalHeader;
    const WORD protections = IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE | IMAGE_DLLCHARACTERISTICS_NX_COMPAT
                             | IMAGE_DLLCHARACTERISTICS_NO_SEH | IMAGE_DLLCHARACTERISTICS_TERMINAL_SERVER_AWARE;
    EXPECT_EQ(header.DllCharacteristics & protections, protections) << Hex(header.DllCharacteristics);

    const IMAGE_DATA_DIRECTORY &directory = header.DataDirectory[IMAGE_DIRECTORY_ENTRY_BASERELOC];
    int moved = 0;
    for (DWORD at = 0; at < directory.Size;) {
        const IMAGE_BASE_RELOCATION *block = (const IMAGE_BASE_RELOCATION *)pe.At(directory.VirtualAddress + at);
        ASSERT_TRUE(block && block->SizeOfBlock >= sizeof *block && block->SizeOfBlock <= directory.Size - at)
            << "a relocation block at " << Hex(directory.VirtualAddress + at);
        const WORD *entry = (const WORD *)(block + 1);
        for (DWORD i = 0; i < (block->SizeOfBlock - sizeof *block) / 2; i++, entry++) {
            if (*entry >> 12 == IMAGE_REL_BASED_ABSOLUTE)
                continue;
            DWORD rva = block->VirtualAddress + (*entry & 0xFFF);
            const char *target = pe.At(rva);
            ASSERT_EQ(*entry >> 12, IMAGE_REL_BASED_HIGHLOW) << Hex(rva);
            ASSERT_TRUE(target && target + 4 <= pe.bytes.data() + pe.bytes.size()) << Hex(rva);
            DWORD address = *(const DWORD *)target;
            EXPECT_TRUE(address >= header.ImageBase && address - header.ImageBase < header.SizeOfImage)
                << Hex(address) << " at " << Hex(rva);
            moved++;
        }
        at += block->SizeOfBlock;
    }
    EXPECT_GT(moved, 0) << "no relocation directory: the loader ignores DYNAMIC_BASE";
}

// A link time in the header would make every build of one commit different.
TEST(Executable, CarriesNoLinkTime)
{
    PeFile pe(ShippedExe());
    ASSERT_TRUE(pe.Valid()) << ShippedExe();
    EXPECT_EQ(pe.Nt()->FileHeader.TimeDateStamp, 0u) << Hex(pe.Nt()->FileHeader.TimeDateStamp);
}

TEST(Executable, FitsTheSizeBudget)
{
    std::string bytes = ReadBytes(ShippedExe());
    ASSERT_FALSE(bytes.empty()) << ShippedExe();
    EXPECT_LE(bytes.size(), 11264u) << ShippedExe() << " is " << bytes.size() << " bytes";
}

// The executable loaded as data, for its resources.
class Resources : public ::testing::Test {
protected:
    void SetUp() override
    {
        module = LoadLibraryExA(ShippedExe().c_str(), NULL, LOAD_LIBRARY_AS_DATAFILE);
        ASSERT_TRUE(module) << ShippedExe() << ": error " << GetLastError();
    }
    void TearDown() override
    {
        if (module)
            FreeLibrary(module);
    }
    // The bytes of one resource, empty when there is none.
    std::string Bytes(LPCSTR type, WORD id, WORD language)
    {
        HRSRC found = FindResourceExA(module, type, MAKEINTRESOURCEA(id), language);
        if (!found)
            return "";
        HGLOBAL loaded = LoadResource(module, found);
        const char *data = loaded ? (const char *)LockResource(loaded) : nullptr;
        return data ? std::string(data, SizeofResource(module, found)) : "";
    }
    HMODULE module = NULL;
};

const WORD EnglishUs = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);

// Reads a classic dialog template field by field.
class TemplateReader {
public:
    explicit TemplateReader(const std::string &bytes) : bytes_(bytes) {}
    bool Overrun() const { return overrun_; }
    WORD Word()
    {
        if (at_ + 2 > bytes_.size()) {
            overrun_ = true;
            return 0;
        }
        WORD value = (WORD)((unsigned char)bytes_[at_] | (unsigned char)bytes_[at_ + 1] << 8);
        at_ += 2;
        return value;
    }
    DWORD Dword()
    {
        WORD low = Word();
        return low | (DWORD)Word() << 16;
    }
    short Short() { return (short)Word(); }
    // A NUL-terminated UTF-16 string, as ASCII.
    std::string Text()
    {
        std::string text;
        for (WORD c = Word(); c && !overrun_; c = Word())
            text += c < 0x80 ? (char)c : '?';
        return text;
    }
    // A name or an ordinal: an ordinal reads as "#n", nothing as "".
    std::string NameOrOrdinal()
    {
        WORD first = Word();
        if (first == 0xFFFF)
            return "#" + std::to_string(Word());
        at_ -= 2;
        return Text();
    }
    void AlignToDword() { at_ = (at_ + 3) & ~(size_t)3; }

private:
    const std::string &bytes_;
    size_t at_ = 0;
    bool overrun_ = false;
};

struct DialogItem {
    DWORD style, exStyle;
    short x, y, cx, cy;
    WORD id;
    std::string className, text;
    WORD extraBytes;
};

bool operator==(const DialogItem &a, const DialogItem &b)
{
    // Class names are not case-sensitive, and windres writes them in capitals.
    return a.style == b.style && a.exStyle == b.exStyle && a.x == b.x && a.y == b.y && a.cx == b.cx && a.cy == b.cy
        && a.id == b.id && Upper(a.className) == Upper(b.className) && a.text == b.text
        && a.extraBytes == b.extraBytes;
}

void PrintTo(const DialogItem &item, std::ostream *out)
{
    *out << "{" << item.className << " id " << item.id << " \"" << item.text << "\" style " << Hex(item.style)
         << " ex " << Hex(item.exStyle) << " at " << item.x << "," << item.y << " size " << item.cx << "x" << item.cy
         << " extra " << item.extraBytes << "}";
}

TEST_F(Resources, DialogTemplateIsTheClassicFormWithSixControls)
{
    std::string bytes = Bytes(RT_DIALOG, 102, EnglishUs);
    ASSERT_FALSE(bytes.empty()) << "no dialog 102 in language 1033";
    TemplateReader reader(bytes);

    DWORD style = reader.Dword();
    // An extended template starts with version 1 and signature 0xFFFF.
    ASSERT_NE(style, 0xFFFF0001u) << "the template is a DIALOGEX";
    EXPECT_EQ(style, 0x12C80B44u) << Hex(style);
    EXPECT_EQ(style, (DWORD)(WS_VISIBLE | WS_CLIPCHILDREN | WS_CAPTION | WS_SYSMENU | DS_CENTER | DS_SETFOREGROUND
                             | DS_NOIDLEMSG | DS_SETFONT | DS_3DLOOK));
    DWORD exStyle = reader.Dword();
    EXPECT_EQ(exStyle, 0u) << Hex(exStyle);
    WORD count = reader.Word();
    EXPECT_EQ(count, 6);
    short x = reader.Short(), y = reader.Short(), cx = reader.Short(), cy = reader.Short();
    EXPECT_EQ(x, 0);
    EXPECT_EQ(y, 0);
    EXPECT_EQ(cx, 174);
    EXPECT_EQ(cy, 78);
    EXPECT_EQ(reader.NameOrOrdinal(), "") << "menu";
    EXPECT_EQ(reader.NameOrOrdinal(), "") << "class";
    EXPECT_EQ(reader.Text(), "") << "title";
    ASSERT_TRUE(style & DS_SETFONT);
    EXPECT_EQ(reader.Word(), 8) << "point size";
    EXPECT_EQ(reader.Text(), "MS Sans Serif");

    const DWORD Child = WS_CHILD | WS_VISIBLE;
    const DWORD Line = Child | WS_GROUP | SS_CENTER;
    const std::vector<DialogItem> expected = {
        {Child | WS_TABSTOP | BS_DEFPUSHBUTTON, 0, 29, 39, 50, 14, IDOK, "#128", "OK", 0},
        {Child | WS_TABSTOP | BS_PUSHBUTTON, 0, 89, 39, 50, 14, IDCANCEL, "#128", "Cancel", 0},
        {Line, 0, 12, 4, 146, 8, 0xFFFF, "#130", "Click on OK to uninstall the IEEE754 Add-on", 0},
        {Line, 0, 4, 15, 161, 8, 0xFFFF, "#130", "Library. This will remove all files from your", 0},
        {Line, 0, 11, 25, 146, 8, 0xFFFF, "#130", "computer.", 0},
        {Child | WS_BORDER, 0, 6, 59, 159, 11, 1000, "msctls_progress32", "Progress", 0},
    };
    for (size_t i = 0; i < expected.size() && i < count; i++) {
        SCOPED_TRACE("control " + std::to_string(i + 1));
        reader.AlignToDword();
        DialogItem item;
        item.style = reader.Dword();
        item.exStyle = reader.Dword();
        item.x = reader.Short();
        item.y = reader.Short();
        item.cx = reader.Short();
        item.cy = reader.Short();
        item.id = reader.Word();
        item.className = reader.NameOrOrdinal();
        item.text = reader.NameOrOrdinal();
        item.extraBytes = reader.Word();
        EXPECT_EQ(item, expected[i]);
        ASSERT_FALSE(reader.Overrun()) << "the template ends inside control " << i + 1 << " of " << bytes.size()
                                       << " bytes";
    }
}

TEST_F(Resources, VersionBlockDescribesTheUninstaller)
{
    std::string bytes = Bytes(RT_VERSION, 1, EnglishUs);
    ASSERT_FALSE(bytes.empty()) << "no version block 1 in language 1033";
    // VerQueryValueA converts texts into the space behind the block, as GetFileVersionInfoA leaves it.
    std::vector<char> block(bytes.size() * 2 + 16);
    std::copy(bytes.begin(), bytes.end(), block.begin());

    VS_FIXEDFILEINFO *fixed = nullptr;
    UINT size = 0;
    ASSERT_TRUE(VerQueryValueA(block.data(), "\\", (void **)&fixed, &size));
    ASSERT_GE(size, sizeof *fixed);
    EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu) << Hex(fixed->dwSignature);
    EXPECT_EQ(fixed->dwFileVersionMS, 0u) << Hex(fixed->dwFileVersionMS);
    EXPECT_EQ(fixed->dwFileVersionLS, 1u) << Hex(fixed->dwFileVersionLS);
    EXPECT_EQ(fixed->dwProductVersionMS, 0u) << Hex(fixed->dwProductVersionMS);
    EXPECT_EQ(fixed->dwProductVersionLS, 1u) << Hex(fixed->dwProductVersionLS);
    EXPECT_EQ(fixed->dwFileFlagsMask, 0x3Fu) << Hex(fixed->dwFileFlagsMask);
    EXPECT_EQ(fixed->dwFileFlags, 0u) << Hex(fixed->dwFileFlags);
    EXPECT_EQ(fixed->dwFileOS, (DWORD)VOS__WINDOWS32) << Hex(fixed->dwFileOS);
    EXPECT_EQ(fixed->dwFileType, (DWORD)VFT_APP) << fixed->dwFileType;
    EXPECT_EQ(fixed->dwFileSubtype, 0u) << fixed->dwFileSubtype;

    WORD *translation = nullptr;
    ASSERT_TRUE(VerQueryValueA(block.data(), "\\VarFileInfo\\Translation", (void **)&translation, &size));
    ASSERT_EQ(size, 4u);
    EXPECT_EQ(translation[0], 0x0409) << Hex(translation[0]);
    EXPECT_EQ(translation[1], 1200) << translation[1];

    struct Entry {
        const char *name, *value;  // a null value: any text but an empty one
    };
    const Entry entries[] = {
        {"CompanyName", ""},
        {"FileDescription", "Uninstalls Tovaslin's IEEE754 Add-on DLL"},
        {"FileVersion", "0, 0, 0, 1"},
        {"ProductName", nullptr},
        {"ProductVersion", "0, 0, 0, 1"},
    };
    for (const Entry &entry : entries) {
        SCOPED_TRACE(entry.name);
        std::string path = std::string("\\StringFileInfo\\040904b0\\") + entry.name;
        char *text = nullptr;
        size = 0;
        ASSERT_TRUE(VerQueryValueA(block.data(), path.c_str(), (void **)&text, &size)) << path;
        std::string value = text && size ? std::string(text) : "";
        if (entry.value)
            EXPECT_EQ(value, entry.value);
        else
            EXPECT_NE(value, "");
    }
}

// Each element of a manifest in document order, as its name and, where it declares one, its namespace.
std::vector<std::string> ManifestElements(const std::string &manifest)
{
    std::vector<std::string> elements;
    for (size_t at = manifest.find('<'); at != std::string::npos; at = manifest.find('<', at + 1)) {
        if (manifest[at + 1] == '/' || manifest[at + 1] == '?')
            continue;
        std::string tag = manifest.substr(at + 1, manifest.find('>', at) - at - 1);
        std::string element = tag.substr(0, tag.find_first_of(" /"));
        size_t xmlns = tag.find("xmlns=\"");
        if (xmlns != std::string::npos)
            element += " " + tag.substr(xmlns + 7, tag.find('"', xmlns + 7) - xmlns - 7);
        elements.push_back(element);
    }
    return elements;
}

TEST_F(Resources, ManifestAsksForAdministratorRightsOnWindowsVistaTo11AndNothingElse)
{
    HRSRC found = FindResourceA(module, MAKEINTRESOURCEA(1), RT_MANIFEST);
    ASSERT_TRUE(found) << "no manifest 1";
    HGLOBAL loaded = LoadResource(module, found);
    std::string manifest((const char *)LockResource(loaded), SizeofResource(module, found));

    size_t level = manifest.find("<requestedExecutionLevel");
    ASSERT_NE(level, std::string::npos) << manifest;
    std::string element = manifest.substr(level, manifest.find('>', level) - level);
    EXPECT_NE(element.find("level=\"requireAdministrator\""), std::string::npos) << element;

    // Neither DPI awareness (the raster font would be scaled jagged) nor the newer common controls
    // (the classic look is the program's own).
    const std::vector<std::string> elements = {
        "assembly urn:schemas-microsoft-com:asm.v1", "trustInfo urn:schemas-microsoft-com:asm.v3", "security",
        "requestedPrivileges", "requestedExecutionLevel",
        "compatibility urn:schemas-microsoft-com:compatibility.v1", "application",
        "supportedOS", "supportedOS", "supportedOS", "supportedOS", "supportedOS",
    };
    EXPECT_EQ(ManifestElements(manifest), elements) << manifest;

    std::vector<std::string> supported;
    for (size_t at = manifest.find("<supportedOS Id=\""); at != std::string::npos;
         at = manifest.find("<supportedOS Id=\"", at + 1))
        supported.push_back(manifest.substr(at + 17, 38));
    const std::vector<std::string> windows = {
        "{e2011457-1546-43c5-a5fe-008deee3d3f0}",  // Vista
        "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",  // 7
        "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",  // 8
        "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",  // 8.1
        "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",  // 10 and 11
    };
    EXPECT_EQ(supported, windows) << manifest;
}

}  // namespace
