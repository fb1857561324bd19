#include "DriveAnswers.h"
#include "diskinfo/AtaSmart.h"
#include "diskinfo/BootSector.h"
#include "diskinfo/Csmi.h"
#include "diskinfo/DeviceAnswers.h"
#include "diskinfo/NvmeBridge.h"
#include "diskinfo/SatPassThrough.h"

#include <gtest/gtest.h>

#include <iostream>
#include <string>
#include <tuple>
#include <vector>

namespace {

using Descriptor = DriveAnswers::Descriptor;
using SmartPage = DriveAnswers::SmartPage;
using Values = DeviceAnswers::SmartValues;

// Read from a heap block of exactly 1024 bytes, so that AddressSanitizer sees any read past it.
std::optional<std::string> StringOf(const Descriptor& descriptor, std::size_t field)
{
    const DriveAnswers::Bytes bytes = descriptor.Build();
    const auto text = DeviceAnswers::DescriptorString(DeviceAnswers::DescriptorAnswer(bytes.data(), Descriptor::kSize), field);
    return text ? std::optional<std::string>(*text) : std::nullopt;
}

Values Parse(const DriveAnswers::Bytes& page)
{
    return DeviceAnswers::ParseSmartAttributes(std::span<const std::uint8_t, DeviceAnswers::kSmartDataSize>(page.data(), page.size()));
}

using Page = std::span<const std::uint8_t, DeviceAnswers::kSmartDataSize>;

// An attribute as a row of attributes.tsv: id, current, worst, threshold, raw, status.
std::vector<std::string> RowOf(const AtaSmart::Attribute& a)
{
    static constexpr const char* kStatus[] = {"ok", "watch", "failed_in_past", "failing_now"};
    return {std::to_string(a.id), std::to_string(a.current), std::to_string(a.worst),
            a.threshold ? std::to_string(*a.threshold) : "-", std::to_string(a.raw),
            kStatus[static_cast<int>(a.status)]};
}

void ExpectValues(const Values& actual, const Values& expected)
{
    EXPECT_EQ(actual.temperature, expected.temperature);
    EXPECT_EQ(actual.powerOnHours, expected.powerOnHours);
    EXPECT_EQ(actual.powerCycles, expected.powerCycles);
}

} // namespace

TEST(DeviceAnswers, DescriptorStrings)
{
    constexpr std::size_t kModel = Descriptor::kProductIdField;
    const std::string toTheEnd(24, 'R');
    const struct {
        const char* name;
        Descriptor descriptor;
        std::size_t field;
        std::optional<std::string> expected;
    } cases[] = {
        {"blanks stay for the trim", Descriptor().Model("  ab   "), kModel, "  ab   "},
        {"model, serial and firmware each from its own field",
         Descriptor().Model("M").Serial("S").Firmware("F"), Descriptor::kSerialNumberField, "S"},
        {"firmware", Descriptor().Model("M").Serial("S").Firmware("F"), Descriptor::kProductRevisionField, "F"},
        {"offset 0 is absent", Descriptor().Serial("S"), kModel, std::nullopt},
        {"an empty string is there", Descriptor().Model(""), kModel, ""},
        {"the offset is little-endian", Descriptor().Offset(kModel, 0x100).At(0x100, std::string_view("LE\0", 3)), kModel, "LE"},
        {"runs to the end without a NUL", Descriptor().Offset(kModel, 1000).At(1000, toTheEnd), kModel, toTheEnd},
        {"offset 1023", Descriptor().Offset(kModel, 1023).At(1023, "Q"), kModel, "Q"},
        {"offset 1024", Descriptor().Offset(kModel, 1024), kModel, std::nullopt},
        {"offset 0xFFFFFFFF", Descriptor().Offset(kModel, 0xFFFFFFFF), kModel, std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(StringOf(c.descriptor, c.field), c.expected) << c.name;
    }
}

TEST(DeviceAnswers, TrimBlanks)
{
    const struct {
        std::string_view text;
        std::string_view expected;
    } cases[] = {
        {"", ""},
        {" \t\r\n", ""},
        {"  ab   ", "ab"},
        {"\t\r\n a b\n\r \t", "a b"},
        {"\vab\f", "\vab\f"}, // only the four blanks go, other control characters stay
        {std::string_view("\0ab\x7f", 4), std::string_view("\0ab\x7f", 4)},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(DeviceAnswers::TrimBlanks(c.text), c.expected) << '"' << c.text << '"';
    }
}

TEST(DeviceAnswers, SmartCommand)
{
    // cBufferSize 512; features D0 (READ DATA) or D1 (READ THRESHOLDS), count 1, number 1,
    // cylinder 4F C2, drive/head, command B0 (SMART); every other byte 0.
    constexpr std::array<std::uint8_t, 33> kCommand{0x00, 0x02, 0, 0, 0xEE, 1, 1, 0x4F, 0xC2, 0xEE, 0xB0};
    const struct {
        std::int32_t drive;
        std::uint8_t head;
    } cases[] = {{0, 0xA0}, {3, 0xB0}, {4, 0xA0}, {31, 0xB0}};
    for (const std::uint8_t features : {std::uint8_t{0xD0}, std::uint8_t{0xD1}}) {
        for (const auto& c : cases) {
            auto expected = kCommand;
            expected[4] = features;
            expected[9] = c.head;
            EXPECT_EQ(DeviceAnswers::SmartCommand(c.drive, features), expected) << "drive " << c.drive;
        }
        // The same registers in ATA PASS-THROUGH (16) and (12): PIO data-in, one block from the drive.
        const SatPassThrough::Command sixteen{0x85, 0x08, 0x0E, 0, features, 0, 1, 0, 0, 0, 0x4F, 0, 0xC2, 0xA0, 0xB0, 0};
        const SatPassThrough::Command twelve{0xA1, 0x08, 0x0E, features, 1, 0, 0x4F, 0xC2, 0xA0, 0xB0, 0, 0};
        EXPECT_EQ(SatPassThrough::SmartCommand(SatPassThrough::Length::Sixteen, features), sixteen);
        EXPECT_EQ(SatPassThrough::SmartCommand(SatPassThrough::Length::Twelve, features), twelve);
    }
    // IDENTIFY DEVICE: no features, no signature, command EC.
    EXPECT_EQ(SatPassThrough::IdentifyCommand(SatPassThrough::Length::Sixteen),
              (SatPassThrough::Command{0x85, 0x08, 0x0E, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0xA0, 0xEC, 0}));
    EXPECT_EQ(SatPassThrough::IdentifyCommand(SatPassThrough::Length::Twelve),
              (SatPassThrough::Command{0xA1, 0x08, 0x0E, 0, 1, 0, 0, 0, 0xA0, 0xEC, 0, 0}));

    // READ LOG EXT of an extended log's first page: 48-bit (EXTEND where the 16-byte command has
    // it), count 1, the log address in LBA low, command 2F.
    EXPECT_EQ(SatPassThrough::CommandOf(SatPassThrough::Length::Sixteen, SatPassThrough::ReadLogExtRegisters(0x07)),
              (SatPassThrough::Command{0x85, 0x09, 0x0E, 0, 0, 0, 1, 0, 0x07, 0, 0, 0, 0, 0xA0, 0x2F, 0}));
    EXPECT_EQ(SatPassThrough::CommandOf(SatPassThrough::Length::Twelve, SatPassThrough::ReadLogExtRegisters(0x03)),
              (SatPassThrough::Command{0xA1, 0x08, 0x0E, 0, 1, 0x03, 0, 0, 0xA0, 0x2F, 0, 0}));

    // A bridge's page counts only when the request went through, GOOD, with 512 bytes and its
    // checksum, and is not all zeros, whose checksum holds too.
    const DriveAnswers::Bytes good = SmartPage().Attribute(0, 9, 77).Build();
    DriveAnswers::Bytes torn = good;
    torn[100] ^= 1;
    const DriveAnswers::Bytes zeros(512, 0);
    const std::tuple<bool, std::uint8_t, std::uint32_t, const DriveAnswers::Bytes*, bool> answers[] = {
        {true, 0, 512, &good, true},   {false, 0, 512, &good, false}, {true, 2, 512, &good, false},
        {true, 0, 511, &good, false},  {true, 0, 513, &good, false},  {true, 0, 512, &torn, false},
        {true, 0, 512, &zeros, false}};
    for (const auto& [succeeded, status, transferred, page, answered] : answers) {
        EXPECT_EQ(SatPassThrough::Answered({succeeded, status, transferred, Page(page->data(), page->size())}), answered)
            << succeeded << " " << int{status} << " " << transferred << " " << (page == &torn);
    }
}

// The drive's identity behind a SAT bridge: each word's bytes swapped back, blanks kept for the
// trimming; IDENTIFY DEVICE data counts like a SMART page, its checksum checked only where its
// signature says there is one, and only with a model of printable text.
// Every CSMI request byte for byte, against CSMI's published structures (packed to 8):
// SRB_IO_CONTROL (HeaderLength 28 at 0, the signature at 4, Timeout at 12, ControlCode at 16,
// ReturnCode at 20, Length at 24: the bytes after the header), then CSMI_SAS_DRIVER_INFO (174
// bytes; the buffer 204 with its padding), CSMI_SAS_PHY_INFO (4 + 32 x 64 bytes), or
// CSMI_SAS_STP_PASSTHRU (bPhyIdentifier at 28, bPortIdentifier at 29, the destination SAS
// address at 32, the command FIS at 44, uFlags at 64, uDataLength at 68), its status (92 bytes
// at 72) and the data from 164, in a buffer of the structure's 168 bytes and the data. Every
// other byte is zero.
TEST(DeviceAnswers, CsmiRequests)
{
    const Csmi::Device device{3, 2, {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88}};
    const auto put32 = [](DriveAnswers::Bytes& bytes, std::size_t at, std::uint32_t value) {
        for (std::size_t i = 0; i < 4; ++i) {
            bytes[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
        }
    };
    using Fis = std::array<std::uint8_t, 20>;
    const struct {
        const char* name;
        DriveAnswers::Bytes built;
        std::size_t size;
        const char* signature;
        std::uint32_t code;
        std::optional<Fis> fis; // STP_PASSTHRU's
    } cases[] = {
        {"GET_DRIVER_INFO", Csmi::DriverInfoRequest(), 204, "CSMIALL", 1, {}},
        {"GET_PHY_INFO", Csmi::PhyInfoRequest(), 2080, "CSMISAS", 20, {}},
        {"IDENTIFY DEVICE", Csmi::StpRequest(device, SatPassThrough::IdentifyRegisters(), 1), 168 + 512, "CSMISAS", 25,
         Fis{0x27, 0x80, 0xEC, 0, 0, 0, 0, 0xA0, 0, 0, 0, 0, 1}},
        {"SMART READ DATA", Csmi::StpRequest(device, SatPassThrough::SmartRegisters(0xD0), 1), 168 + 512, "CSMISAS", 25,
         Fis{0x27, 0x80, 0xB0, 0xD0, 0, 0x4F, 0xC2, 0xA0, 0, 0, 0, 0, 1}},
        {"SMART READ THRESHOLDS", Csmi::StpRequest(device, SatPassThrough::SmartRegisters(0xD1), 1), 168 + 512,
         "CSMISAS", 25, Fis{0x27, 0x80, 0xB0, 0xD1, 0, 0x4F, 0xC2, 0xA0, 0, 0, 0, 0, 1}},
        {"SMART READ LOG 06h", Csmi::StpRequest(device, SatPassThrough::SmartLogRegisters(0x06, 1), 1), 168 + 512,
         "CSMISAS", 25, Fis{0x27, 0x80, 0xB0, 0xD5, 0x06, 0x4F, 0xC2, 0xA0, 0, 0, 0, 0, 1}},
        {"SMART READ LOG 01h", Csmi::StpRequest(device, SatPassThrough::SmartLogRegisters(0x01, 1), 1), 168 + 512,
         "CSMISAS", 25, Fis{0x27, 0x80, 0xB0, 0xD5, 0x01, 0x4F, 0xC2, 0xA0, 0, 0, 0, 0, 1}},
        {"SMART READ LOG 04h, 8 pages", Csmi::StpRequest(device, SatPassThrough::SmartLogRegisters(0x04, 8), 8),
         168 + 8 * 512, "CSMISAS", 25, Fis{0x27, 0x80, 0xB0, 0xD5, 0x04, 0x4F, 0xC2, 0xA0, 0, 0, 0, 0, 8}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        DriveAnswers::Bytes expected(c.size, 0);
        put32(expected, 0, 28);
        std::copy_n(c.signature, 7, expected.begin() + 4);
        put32(expected, 12, 60);
        put32(expected, 16, c.code);
        put32(expected, 24, static_cast<std::uint32_t>(c.size - 28));
        if (c.fis) {
            expected[28] = 3;
            expected[29] = 2;
            std::copy(device.address.begin(), device.address.end(), expected.begin() + 32);
            std::copy(c.fis->begin(), c.fis->end(), expected.begin() + 44);
            put32(expected, 64, 0x11); // CSMI_SAS_STP_READ | CSMI_SAS_STP_PIO
            put32(expected, 68, static_cast<std::uint32_t>(c.size - 168));
        }
        EXPECT_EQ(c.built, expected);
    }
}

TEST(DeviceAnswers, IdentifyDevice)
{
    const DriveAnswers::Bytes good = DriveAnswers::IdentifyDevice("WDC WD20EARS-00MVWB0", "WD-WCAZA1234567", "51.0AB51");
    const auto identity = SatPassThrough::IdentityOf(Page(good.data(), good.size()));
    EXPECT_EQ(identity.model.View(), "WDC WD20EARS-00MVWB0" + std::string(20, ' '));
    EXPECT_EQ(identity.serial.View(), "WD-WCAZA1234567     ");
    EXPECT_EQ(identity.firmware.View(), "51.0AB51");
    DriveAnswers::Bytes torn = good;
    torn[200] ^= 1;
    DriveAnswers::Bytes unsigned_ = torn;
    unsigned_[510] = 0; // no checksum to hold
    DriveAnswers::Bytes blank = DriveAnswers::IdentifyDevice("", "S", "F");
    DriveAnswers::Bytes control = DriveAnswers::IdentifyDevice("MODEL\x7F", "S", "F");
    const std::tuple<bool, std::uint8_t, std::uint32_t, const DriveAnswers::Bytes*, bool> answers[] = {
        {true, 0, 512, &good, true},      {false, 0, 512, &good, false}, {true, 2, 512, &good, false},
        {true, 0, 511, &good, false},     {true, 0, 512, &torn, false},  {true, 0, 512, &unsigned_, true},
        {true, 0, 512, &blank, false},    {true, 0, 512, &control, false}};
    for (std::size_t i = 0; i < std::size(answers); ++i) {
        const auto& [succeeded, status, transferred, page, answered] = answers[i];
        EXPECT_EQ(SatPassThrough::IdentifyAnswered({succeeded, status, transferred, Page(page->data(), page->size())}),
                  answered)
            << "case " << i;
    }
}

// The file system each partition's first 4 KiB name, as the details show it; empty for none.
TEST(DeviceAnswers, BootSectors)
{
    using Bytes = DriveAnswers::Bytes;
    const auto with = [](Bytes bytes, std::size_t at, std::uint64_t value, std::size_t width) {
        for (std::size_t i = 0; i < width; ++i) {
            bytes[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
        }
        return bytes;
    };
    const auto text = [](std::size_t at, std::string_view value) {
        Bytes bytes(BootSector::kReadSize, 0);
        std::copy(value.begin(), value.end(), bytes.begin() + static_cast<std::ptrdiff_t>(at));
        return bytes;
    };
    const Bytes fat32 = DriveAnswers::FileSystemStart("FAT32");
    // A floppy-sized FAT: 1 reserved sector, 2 FATs of 6, 224 root entries (14 sectors).
    const Bytes fat12 = with(with(with(with(fat32, 36, 0, 4), 22, 6, 2), 17, 224, 2), 14, 1, 2);
    const Bytes small = with(with(fat12, 32, 0, 4), 19, 2000, 2);
    const Bytes ext = with(DriveAnswers::FileSystemStart("ext4"), 1120, 0x2, 4);
    const std::pair<Bytes, std::wstring_view> cases[] = {
        {DriveAnswers::FileSystemStart("NTFS"), L"NTFS"},
        {DriveAnswers::FileSystemStart("exFAT"), L"exFAT"},
        {DriveAnswers::FileSystemStart("ReFS"), L"ReFS"},
        {DriveAnswers::FileSystemStart("BitLocker"), L"BitLocker"},
        {DriveAnswers::FileSystemStart("LUKS"), L"LUKS"},
        {fat32, L"FAT32"},
        {with(fat32, 11, 4096, 2), L"FAT32"},       // the EFI partition of a drive with 4096-byte sectors
        {with(small, 19, 4084 + 27, 2), L"FAT12"},  // 4,084 clusters after 27 sectors of overhead
        {with(small, 19, 4085 + 27, 2), L"FAT16"},  // one more
        {with(with(fat12, 19, 0, 2), 32, 65524 + 27, 4), L"FAT16"},
        {with(with(fat12, 19, 0, 2), 32, 65525 + 27, 4), L"FAT32"},
        {with(small, 510, 0, 2), L""},              // no boot signature
        {with(small, 11, 768, 2), L""},             // a sector size no drive has
        {with(small, 13, 3, 1), L""},               // clusters of three sectors
        {with(small, 19, 27, 2), L""},              // nothing left for data
        {with(small, 16, 0, 1), L""},               // no FAT
        {DriveAnswers::FileSystemStart("ext4"), L"ext4"},
        {ext, L"ext3"},                              // a journal without ext4's features
        {with(ext, 1116, 0, 4), L"ext2"},
        {text(4086, "SWAPSPACE2"), L"Linux swap"},
        {text(4086, "SWAP-SPACE"), L"Linux swap"},
        {text(3, "NTFS   "), L""},                  // the name without its last blank
        {Bytes(BootSector::kReadSize, 0), L""},
    };
    for (const auto& [bytes, name] : cases) {
        EXPECT_EQ(BootSector::FileSystemOf(bytes), name) << std::string(name.begin(), name.end());
    }
    // Fewer bytes than a read brings name nothing, even where the signature lies inside them.
    const Bytes ntfs = DriveAnswers::FileSystemStart("NTFS");
    EXPECT_EQ(BootSector::FileSystemOf(std::span(ntfs).first(512)), L"");
}

// A USB bridge by the IDs in its device ID, hex digits of either case, and the family of each known one.
TEST(DeviceAnswers, NvmeBridgeIds)
{
    using UsbId = NvmeBridge::UsbId;
    const std::pair<std::wstring_view, std::optional<std::pair<int, int>>> ids[] = {
        {L"USB\\VID_04E8&PID_61FB\\S3Z1NB0K", {{0x04E8, 0x61FB}}},
        {L"usb\\vid_0bda&pid_9210", {{0x0BDA, 0x9210}}},
        {L"USB\\VID_0BDA&PID_921", std::nullopt},
        {L"USB\\VID_0BDG&PID_9210", std::nullopt},
        {L"USB\\VID_0BDA_PID_9210", std::nullopt},
        {L"USBSTOR\\DISK&VEN_SAMSUNG", std::nullopt},
    };
    for (const auto& [id, expected] : ids) {
        const auto parsed = NvmeBridge::ParseDeviceId(id);
        ASSERT_EQ(parsed.has_value(), expected.has_value()) << std::string(id.begin(), id.end());
        if (parsed) {
            EXPECT_EQ(parsed->vendor, expected->first);
            EXPECT_EQ(parsed->product, expected->second);
        }
    }
    EXPECT_EQ(NvmeBridge::FamilyOf(*NvmeBridge::ParseDeviceId(L"USB\\VID_04E8&PID_61FB")), NvmeBridge::Family::ASMedia);
    EXPECT_EQ(NvmeBridge::FamilyOf(UsbId{0x0BDA, 0x9210}), NvmeBridge::Family::Realtek);
    EXPECT_EQ(NvmeBridge::FamilyOf(UsbId{0x152D, 0x0583}), NvmeBridge::Family::JMicron);
    EXPECT_FALSE(NvmeBridge::FamilyOf(UsbId{0x0BDA, 0x9212}));
    EXPECT_FALSE(NvmeBridge::FamilyOf(UsbId{0x9210, 0x0BDA}));
}

TEST(DeviceAnswers, SmartAttributes)
{
    constexpr std::int64_t kTwoTo32 = std::int64_t{1} << 32;
    const struct {
        const char* name;
        SmartPage page;
        Values expected;
    } cases[] = {
        {"all zeros", SmartPage(), {-1, -1, -1}},
        {"194 raw 2D 00 00 00 00 00", SmartPage().Attribute(0, 194, 0x2D), {45, -1, -1}},
        {"194 raw 2D 00 14 00 32 00: lowest byte only", SmartPage().Attribute(4, 194, 0x0032'0014'002D), {45, -1, -1}},
        {"9 raw 64 00 00 00 00 00", SmartPage().Attribute(0, 9, 100), {-1, 100, -1}},
        {"9 raw 64 00 00 00 01 00: all 48 bits", SmartPage().Attribute(0, 9, 100 + kTwoTo32), {-1, 100 + kTwoTo32, -1}},
        {"12 at its largest, in the last slot", SmartPage().Attribute(29, 12, 0xFFFF'FFFF'FFFF), {-1, -1, 0xFFFF'FFFF'FFFF}},
        {"190 in slot 3, 194 in slot 7", SmartPage().Attribute(3, 190, 33).Attribute(7, 194, 44), {44, -1, -1}},
        {"194 in slot 3, 190 in slot 7", SmartPage().Attribute(3, 194, 44).Attribute(7, 190, 33), {33, -1, -1}},
        {"other ids are ignored", SmartPage().Attribute(0, 5, 7).Attribute(1, 197, 8).Attribute(2, 231, 9), {-1, -1, -1}},
        {"nothing after slot 29 is a slot", SmartPage().Attribute(30, 194, 50).Attribute(31, 9, 1), {-1, -1, -1}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ExpectValues(Parse(c.page.Build()), c.expected);
    }
}

TEST(DeviceAnswers, RealDrivePages)
{
    const auto dir = DriveAnswers::SmartPagesDir(OSTREVANE_SMART_PAGES_DIR);
    const auto real = DriveAnswers::LoadRealDrives(dir);
    for (const auto& problem : real.problems) {
        ADD_FAILURE() << problem;
    }
    ASSERT_FALSE(real.drives.empty()) << "no pages in " << dir;
    std::size_t attributeRows = 0;
    for (const auto& drive : real.drives) {
        SCOPED_TRACE(drive.name);
        ExpectValues(Parse(drive.page), {drive.temperature, drive.powerOnHours, drive.powerCycles});
        std::vector<std::vector<std::string>> rows;
        for (const auto& attribute : AtaSmart::ReadAttributes(Page(drive.page.data(), drive.page.size()),
                                                              Page(drive.thresholds.data(), drive.thresholds.size()))) {
            rows.push_back(RowOf(attribute));
        }
        EXPECT_EQ(rows, drive.attributes);
        attributeRows += drive.attributes.size();
        const auto descriptor = Descriptor().Model(drive.model).Serial(drive.serial).Firmware(drive.firmware);
        const std::pair<std::size_t, const std::string*> fields[] = {{Descriptor::kProductIdField, &drive.model},
                                                                      {Descriptor::kSerialNumberField, &drive.serial},
                                                                      {Descriptor::kProductRevisionField, &drive.firmware}};
        for (const auto& [field, padded] : fields) {
            const auto text = StringOf(descriptor, field);
            ASSERT_TRUE(text.has_value());
            EXPECT_EQ(DeviceAnswers::TrimBlanks(*text), DriveAnswers::Unpadded(*padded));
        }
    }
    std::cout << "checked " << real.drives.size() << " real drive pages and their thresholds, " << attributeRows
              << " attribute rows, from " << dir.string() << "\n";
}
