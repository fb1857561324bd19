#pragma once

#include "diskinfo/NvmeBridge.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <initializer_list>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// The bytes that drives put in answer to the inventory's requests, built field by field for
// fake drives, and the SMART pages of real drives kept beside the project. Free of
// <windows.h>: the native tests of the readers use them as much as the fake kernel does.
class DriveAnswers {
public:
    DriveAnswers() = delete;

    using Bytes = std::vector<std::uint8_t>;
    // An answer chosen from the request's input bytes; nullopt fails the request.
    using Answer = std::function<std::optional<Bytes>(const Bytes& input)>;

    // The request codes as the Windows SDK publishes them.
    static constexpr std::uint32_t kGetLengthInfo = 0x7405C;
    static constexpr std::uint32_t kQueryProperty = 0x2D1400;
    static constexpr std::uint32_t kPredictFailure = 0x2D1100;
    static constexpr std::uint32_t kSmartGetVersion = 0x74080;
    static constexpr std::uint32_t kSmartRcvDriveData = 0x7C088;
    static constexpr std::uint32_t kScsiPassThrough = 0x4D004;
    static constexpr std::uint32_t kAtaPassThrough = 0x4D02C;
    static constexpr std::uint32_t kGetDriveLayoutEx = 0x70050;
    static constexpr std::uint32_t kGetVolumeDiskExtents = 0x560000;
    static constexpr std::uint32_t kScsiGetAddress = 0x41018;
    static constexpr std::uint32_t kScsiMiniport = 0x4D008;

    static Bytes Capacity(std::int64_t sizeBytes);              // GET_LENGTH_INFORMATION
    static Bytes PredictFailure(std::uint32_t predictFailure);  // STORAGE_PREDICT_FAILURE, 516 bytes
    static Bytes SmartVersion();                                // GETVERSIONINPARAMS of an ATA disk
    static Bytes SmartData(std::span<const std::uint8_t> page); // SENDCMDOUTPARAMS around a page, 529 bytes

    // The NVMe health log through IOCTL_STORAGE_QUERY_PROPERTY: the property id of the
    // namespace, and the STORAGE_PROTOCOL_DATA_DESCRIPTOR the NVMe driver returns around a log,
    // naming the returned data at `offset` (from its protocol-specific data) with `length`; the
    // log lies right behind the descriptor, 560 bytes in all.
    static constexpr std::uint32_t kAdapterProtocolSpecificProperty = 49;
    static constexpr std::uint32_t kDeviceProtocolSpecificProperty = 50;
    static Bytes NvmeLogAnswer(std::span<const std::uint8_t> log, std::uint32_t offset = 40,
                               std::uint32_t length = 512);
    // STORAGE_TEMPERATURE_DATA_DESCRIPTOR: Size at 4, InfoCount at 12, from 24 a 16-byte
    // STORAGE_TEMPERATURE_INFO per value: Index, Temperature (signed, °C; 0x8000 not reported).
    static constexpr std::uint32_t kDeviceTemperatureProperty = 52;
    static Bytes TemperatureAnswer(const std::vector<std::uint16_t>& temperatures);
    // The drive's own logs, entry by entry, oldest first, their checksums kept right. A self-test
    // entry's status byte holds the status and the remaining tens of percent; an error's LBA is
    // 28 bits. Device statistics: the pages that hold the statistics given (page, offset,
    // value; supported and valid), page 0 listing them.
    struct SelfTestEntry {
        std::uint8_t type;
        std::uint8_t status;
        std::uint16_t hours;
        std::uint64_t lba = 0xFFFFFFFF;
    };
    static Bytes AtaSelfTestLog(std::initializer_list<SelfTestEntry> entries);
    struct ErrorEntry {
        std::uint8_t command;
        std::uint8_t error;
        std::uint64_t lba;
        std::uint16_t hours;
    };
    static Bytes AtaErrorLog(std::uint16_t count, std::initializer_list<ErrorEntry> entries);
    struct Statistic {
        std::uint8_t page;
        std::uint16_t offset;
        std::uint64_t value;
    };
    static Bytes DeviceStatistics(std::initializer_list<Statistic> statistics);
    // The NVMe self-test log, newest first: the test code, the result, the hours and the failing LBA.
    struct NvmeSelfTest {
        std::uint8_t code;
        std::uint8_t result;
        std::uint64_t hours;
        std::optional<std::uint64_t> lba;
    };
    static Bytes NvmeSelfTestLog(std::initializer_list<NvmeSelfTest> results);
    // SENDCMDOUTPARAMS around the first `sectors` sectors of a log; nullopt, as a drive aborts
    // the command, when the log has fewer.
    static std::optional<Bytes> SmartLog(const Bytes& log, std::size_t sectors);

    // STORAGE_DEVICE_DESCRIPTOR and its strings in the 1024-byte answer. The text setters
    // append the bytes and a NUL after what is there and point the field at them; Offset and
    // At write raw offsets and raw bytes anywhere, for answers no well-behaved driver gives.
    class Descriptor {
    public:
        static constexpr std::size_t kSize = 1024;
        static constexpr std::size_t kVendorIdField = 12;
        static constexpr std::size_t kProductIdField = 16;
        static constexpr std::size_t kProductRevisionField = 20;
        static constexpr std::size_t kSerialNumberField = 24;
        static constexpr std::size_t kBusTypeField = 28;
        static constexpr std::uint32_t kBusTypeUsb = 7;
        static constexpr std::uint32_t kBusTypeSata = 11;

        Descriptor();
        Descriptor& Vendor(std::string_view text) { return Append(kVendorIdField, text); }
        Descriptor& Model(std::string_view text) { return Append(kProductIdField, text); }
        Descriptor& Firmware(std::string_view text) { return Append(kProductRevisionField, text); }
        Descriptor& Serial(std::string_view text) { return Append(kSerialNumberField, text); }
        Descriptor& BusType(std::uint32_t busType) { return Offset(kBusTypeField, busType); }
        Descriptor& Offset(std::size_t field, std::uint32_t value);
        Descriptor& At(std::size_t offset, std::string_view bytes); // clipped at the end of the answer
        const Bytes& Build() const { return m_bytes; }

    private:
        Descriptor& Append(std::size_t field, std::string_view text);

        Bytes m_bytes;
        std::size_t m_next;
    };

    // DRIVE_LAYOUT_INFORMATION_EX of a partition style (0 MBR, 1 GPT, 2 RAW), entry by entry,
    // its count that of the entries unless Count sets another. GUIDs as "{8-4-4-4-12}" text.
    class Layout {
    public:
        static constexpr std::size_t kHeaderSize = 48;
        static constexpr std::size_t kEntrySize = 144;

        explicit Layout(std::uint32_t style);
        Layout& Signature(std::uint32_t signature);
        Layout& DiskId(std::string_view guid);
        Layout& Mbr(std::uint32_t number, std::int64_t start, std::int64_t length, std::uint8_t type);
        Layout& Gpt(std::uint32_t number, std::int64_t start, std::int64_t length, std::string_view type,
                    std::string_view name);
        Layout& Count(std::uint32_t count);
        const Bytes& Build() const { return m_bytes; }

    private:
        std::size_t Entry(std::uint32_t number, std::int64_t start, std::int64_t length);

        Bytes m_bytes;
        bool m_countSet = false;
    };

    // VOLUME_DISK_EXTENTS: a count, then each extent's disk number, start and length.
    struct Extent {
        std::uint32_t disk;
        std::int64_t start;
        std::int64_t length;
    };
    static Bytes Extents(std::initializer_list<Extent> extents);

    // An ATA SMART READ DATA page, attribute slot by slot, its checksum kept right.
    class SmartPage {
    public:
        static constexpr std::size_t kSize = 512;
        static constexpr std::size_t kSlots = 30;

        // Only the low 48 bits of `raw` fit an entry; current and worst are 100.
        SmartPage& Attribute(std::size_t slot, std::uint8_t id, std::uint64_t raw);
        SmartPage& Normalised(std::size_t slot, std::uint8_t current, std::uint8_t worst);
        // An entry of a READ THRESHOLDS page.
        SmartPage& Threshold(std::size_t slot, std::uint8_t id, std::uint8_t threshold);
        Bytes Build() const;

    private:
        std::array<std::uint8_t, kSize> m_page{};
    };

    // A USB-SATA bridge that passes ATA PASS-THROUGH (16 or 12) on to its drive. It writes the
    // SCSI status, the transferred length and the page into the caller's buffer, at the places
    // the caller's SCSI_PASS_THROUGH names. A command whose page is absent ends in CHECK
    // CONDITION with nothing transferred; READ THRESHOLDS and IDENTIFY DEVICE answer
    // `thresholds` and `identify` by a length that answers READ DATA.
    struct UsbBridge {
        // SCSI_PASS_THROUGH as 64-bit Windows lays it out.
        static constexpr std::size_t kScsiStatusField = 2;
        static constexpr std::size_t kCdbLengthField = 6;
        static constexpr std::size_t kDataTransferLengthField = 12;
        static constexpr std::size_t kDataBufferOffsetField = 24;
        static constexpr std::size_t kCdbField = 36;
        static constexpr std::size_t kSize = 56;
        static constexpr std::uint8_t kCheckCondition = 2;

        // Out of line: Clang cannot tell inside DriveAnswers that a member with default member
        // initializers is default-constructible, which std::optional<UsbBridge> asks.
        UsbBridge();

        std::optional<Bytes> page16;     // SMART READ DATA through ATA PASS-THROUGH (16)
        std::optional<Bytes> page12;     // the same through ATA PASS-THROUGH (12)
        std::optional<Bytes> thresholds; // SMART READ THRESHOLDS
        std::map<std::uint8_t, Bytes> logs; // SMART READ LOG, and READ LOG EXT's first page, by log address
        std::optional<Bytes> identify;   // IDENTIFY DEVICE
        std::uint8_t scsiStatus = 0;     // of a command that has its page
        std::uint32_t transferred = 512; // DataTransferLength returned with a page
        bool fails = false;              // every request fails

        std::optional<Bytes> Answer(const Bytes& request) const;
    };

    // An NVMe drive in a USB enclosure whose bridge tunnels NVMe commands the way of `family`
    // (none: a bridge of no known family, which answers every command with CHECK CONDITION). It
    // writes the SCSI status, the transferred length and the answer into the caller's buffer as
    // UsbBridge does. The status and `transferred` are those of the step that carries the answer;
    // a command whose answer is absent ends in CHECK CONDITION with nothing transferred.
    struct NvmeEnclosure {
        NvmeEnclosure(); // out of line, as UsbBridge's

        std::optional<NvmeBridge::Family> family;
        std::wstring usbDeviceId;                 // "USB\VID_xxxx&PID_yyyy\<serial>"
        std::optional<Bytes> log;                 // the health log, 512 bytes
        std::optional<Bytes> identify;            // Identify Controller, 4,096 bytes
        std::optional<Bytes> selfTests;           // the device self-test log, 564 bytes
        std::uint8_t scsiStatus = 0;
        std::optional<std::uint32_t> transferred; // in place of the whole length
        bool replySignature = true;               // JMicron's reply starts with "NVME"

        // `jmicronAsked` carries what JMicron's descriptor asked for (the log identifier, or 0 for
        // Identify) to the step that answers it.
        std::optional<Bytes> Answer(const Bytes& request, std::uint8_t& jmicronAsked) const;
    };
    // The Intel RST/VMD driver's NVMe pass-through (IOCTL_SCSI_MINIPORT) at the offsets of Intel's
    // published NVME_IOCTL_PASS_THROUGH: SRB_IO_CONTROL (28, "IntelNvm", 10 s, F0002808h, Length
    // 4,232), version 1, path, target and LUN at 29-31, the opcode at 32, the namespace at 36,
    // CDW10 at 72, the data's place (164) and `length` at 116 and 120; 4,260 bytes, the rest 0.
    static Bytes RstNvmeRequest(std::uint8_t opcode, std::uint32_t nsid, std::uint32_t cdw10, std::uint32_t length,
                                std::uint8_t path, std::uint8_t target, std::uint8_t lun);
    // An NVMe drive behind that driver at `path`, `target`, `lun`: the port's answer, as the driver
    // gives it, is the request back with `status` (SRB_STATUS_SUCCESS, 1) in ReturnCode (20) and the
    // command's data at 164 for the length asked. A command whose data is absent, or one to another
    // address, ends with SRB_STATUS_INVALID_REQUEST (6) and no data, as a driver that does not pass
    // it on ends it; `fails` fails the request, as a driver that knows no such signature.
    struct RstNvmeDrive {
        std::uint8_t path = 0, target = 0, lun = 0;
        std::optional<Bytes> log, identify, selfTests, errors; // 02h, Identify Controller, 06h, 01h
        bool fails = false;
        std::uint32_t status = 1;
        std::optional<Bytes> Answer(const Bytes& request) const;
    };
    // A RAID driver's miniport behind "\\.\ScsiN:", answering CSMI as the published structures lay
    // it out: GET_DRIVER_INFO with `driver` (fails when that is empty), GET_PHY_INFO with one phy
    // per device (an end device of protocol SATA, the SAS address {phy + 1, 0x50, ...}) and an
    // empty one after them, and STP_PASSTHRU to a device by its phy: IDENTIFY DEVICE, SMART READ
    // DATA, THRESHOLDS and READ LOG from its pages, a command it has no page for ended by the
    // drive's abort (status ERR, no data); Intel's NVMe pass-through ("IntelNvm") as `nvme`
    // answers it, by default as a port with no NVMe drive behind it.
    struct Miniport {
        struct Device {
            Bytes identify;
            std::optional<Bytes> smartPage;
            std::optional<Bytes> thresholds;
            std::map<std::uint8_t, Bytes> logs; // SMART READ LOG by log address, all its sectors
        };
        Miniport(); // out of line, as UsbBridge's
        std::string driver;
        std::vector<Device> devices;
        RstNvmeDrive nvme;
        std::optional<Bytes> Answer(const Bytes& request) const;
    };
    // SCSI_ADDRESS of a drive behind port `port`, target `target`.
    static Bytes ScsiAddress(std::uint8_t port, std::uint8_t target);

    // Identify Controller data with the three identity strings, blank-padded.
    static Bytes IdentifyController(std::string_view model, std::string_view serial, std::string_view firmware);
    // ATA IDENTIFY DEVICE data with the three strings blank-padded, each word's bytes swapped as
    // ATA keeps them, and the checksum signature with a checksum that holds; `gpl` sets word 84
    // bit 5 (General Purpose Logging, the word valid), `logicalSector` words 106 and 117-118,
    // `sectors` words 100-103 and word 83 bit 10 (the 48-bit feature set) where not 0.
    static Bytes IdentifyDevice(std::string_view model, std::string_view serial, std::string_view firmware,
                                bool gpl = false, std::uint32_t logicalSector = 512, std::uint64_t sectors = 0);
    // The first page of the extended self-test log (07h) and the extended comprehensive error
    // log (03h), entry by entry, oldest first, their LBAs 48 bits, checksums kept right.
    static Bytes AtaExtSelfTestLog(std::initializer_list<SelfTestEntry> entries);
    static Bytes AtaExtErrorLog(std::uint16_t count, std::initializer_list<ErrorEntry> entries);

    // The first 4 KiB of a partition holding `fileSystem`: "NTFS", "exFAT", "ReFS", "BitLocker"
    // (their names at byte 3), "FAT32" (the parameters of a 100 MiB volume), "ext4" (the
    // superblock's magic and extents feature) or "LUKS"; zeros for anything else.
    static Bytes FileSystemStart(std::string_view fileSystem);

    // A volume that the real tools made at build time (tests/demo/make-demo-volumes.sh): its
    // partition's number, first LBA and sectors, its file's name and first LBA in the volume (as
    // istat gives it), and its bytes by offset in the volume, pages that follow each other as one
    // run; all zeros elsewhere.
    struct MadeVolume {
        std::uint32_t number = 0;
        std::uint64_t firstLba = 0;
        std::uint64_t sectors = 0;
        std::string file;
        std::uint64_t fileLba = 0;
        std::map<std::uint64_t, Bytes> contents;
    };
    // Those of the folder's volumes.tsv, in its order.
    static std::vector<MadeVolume> LoadMadeVolumes(const std::filesystem::path& folder);

    // A whole fake drive: each request is answered from its member or, where that is empty,
    // fails. The descriptor answers only the standard device-property query; the NVMe answers
    // each their own data type and identifier, as Windows' inbox driver does: Identify
    // Controller only the adapter protocol-specific property, the health, self-test and error
    // logs only the device one.
    struct Drive {
        std::optional<std::int64_t> sizeBytes;
        std::optional<Descriptor> descriptor;
        std::optional<std::uint32_t> predictFailure;
        bool smartVersion = false;
        std::optional<Bytes> smartPage;       // answers SMART READ DATA
        std::optional<Bytes> smartThresholds; // answers SMART READ THRESHOLDS
        std::map<std::uint8_t, Bytes> smartLogs; // SMART READ LOG by log address, all its sectors
        // IDENTIFY DEVICE through the disk driver's ATA pass-through, which then also answers
        // READ LOG EXT of the first page of a log in `smartLogs`, and ends READ LOG EXT of any
        // other with the drive's abort (status ERR, error ABRT); absent, every request fails.
        std::optional<Bytes> ataIdentify;
        std::optional<Bytes> nvmeLog;
        std::optional<Bytes> nvmeIdentify;
        std::optional<Bytes> nvmeSelfTests;
        std::optional<Bytes> nvmeErrors;
        std::optional<Bytes> temperature; // answers StorageDeviceTemperatureProperty
        std::optional<UsbBridge> bridge;
        std::optional<NvmeEnclosure> enclosure;
        std::optional<Bytes> scsiAddress; // IOCTL_SCSI_GET_ADDRESS, behind a RAID driver

        std::vector<std::pair<std::uint32_t, Answer>> Answers() const;

        // Scripts a FakeDrive, or anything else with an `answers` map from code to Answer and,
        // for a drive in an NVMe enclosure, the device tree above it and its bridge's family.
        template <class FakeDriveT>
        void ApplyTo(FakeDriveT& fake) const
        {
            for (auto& [code, answer] : Answers()) {
                fake.answers[code] = std::move(answer);
            }
            if (enclosure) {
                fake.parents = {enclosure->usbDeviceId, L"USB\\ROOT_HUB30\\4&1f2c3d4e&0&0",
                                L"PCI\\VEN_8086&DEV_A36D&SUBSYS_00000000&REV_10\\3&11583659&0&A0"};
                fake.bridge = enclosure->family;
            }
        }
    };

    // An ordinary SATA drive that answers every request; a negative SMART value leaves its
    // attribute out of the page.
    static Drive TypicalDrive(std::string_view model, std::string_view serial, std::string_view firmware,
                              std::int64_t sizeBytes, std::int32_t temperature, std::int64_t powerOnHours,
                              std::int64_t powerCycles);

    // `drive` in a USB dock: bus type USB, no answer to the ATA SMART requests, and its SMART
    // pages and `identify` from the bridge, for ATA PASS-THROUGH (16).
    static Drive InUsbDock(Drive drive, std::optional<Bytes> identify = std::nullopt);

    // `drive`, an NVMe drive, in an enclosure: bus type USB, and its health log, self-test log
    // and `identify` only through the vendor commands of the bridge at `usbDeviceId`.
    static Drive InNvmeEnclosure(Drive drive, std::optional<NvmeBridge::Family> family, std::wstring usbDeviceId,
                                 Bytes identify);

    // One page from the collection of real drives, with its rows of expected.tsv and
    // identity.tsv (the identity strings as the drive gave them, blank padding kept).
    struct RealDrive {
        std::string name;
        Bytes page;
        std::int32_t temperature = -1;
        std::int64_t powerOnHours = -1;
        std::int64_t powerCycles = -1;
        std::string model;
        std::string serial;
        std::string firmware;
        Bytes thresholds;                               // thresholds/<name>.bin
        std::vector<std::vector<std::string>> attributes; // its rows of attributes.tsv, name left out
    };
    struct RealDrives {
        std::vector<RealDrive> drives;
        std::vector<std::string> problems; // a page without its rows, a row without its page, ...
    };

    // What a drive means by a padded identity string: the text before its first NUL, without
    // the blanks of the padding around it.
    static std::string Unpadded(std::string_view padded);

    // The folder named by SMART_PAGES_DIR when that is set, else `fallback`.
    static std::filesystem::path SmartPagesDir(const std::filesystem::path& fallback);
    static RealDrives LoadRealDrives(const std::filesystem::path& dir);

    // The NVMe health logs of real drives, each with its row of `table` (health.tsv or
    // expected.tsv) as column name to cell; NVME_PAGES_DIR names another folder than `fallback`.
    struct RealNvmeLog {
        std::string name;
        Bytes log;
        std::map<std::string, std::string> fields;
    };
    struct RealNvmeLogs {
        std::vector<RealNvmeLog> logs;
        std::vector<std::string> problems;
    };
    static std::filesystem::path NvmePagesDir(const std::filesystem::path& fallback);
    static RealNvmeLogs LoadRealNvmeLogs(const std::filesystem::path& dir, const std::string& table);

    // One folder of drives' own logs: every .bin by its file name, and the rows of its
    // expected.tsv as column name to cell, in file order. LOG_PAGES_DIR names another folder
    // of folders than `fallback`.
    struct LogTable {
        std::map<std::string, Bytes> files;
        std::vector<std::map<std::string, std::string>> rows;
        std::vector<std::string> problems; // a log without rows, rows without their log
    };
    static std::filesystem::path LogPagesDir(const std::filesystem::path& fallback);
    static LogTable LoadLogTable(const std::filesystem::path& folder);
};
