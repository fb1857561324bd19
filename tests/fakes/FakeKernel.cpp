#include "FakeKernel.h"

#include "DriveAnswers.h"

#include "kernel/Kernel.h"

#include <gtest/gtest.h>

// The disk interface class as the SDK defines it, to hold the program's spelling against.
#include <initguid.h>
#include <winioctl.h>
#include <ntddscsi.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <cwctype>
#include <fstream>
#include <mutex>
#include <set>
#include <sstream>
#include <utility>

namespace {

struct OpenHandle {
    int drive = -1;
    DWORD access = 0;
    bool closed = false;
    std::size_t readsDone = 0;
    DWORD flags = 0;
    bool mutex = false;
    int volume = -1; // the index of the volume opened, or -1 for a drive
    int port = -1;   // the SCSI port opened, or -1
    bool thread = false; // a real thread's handle, closed for real
    std::uint64_t position = 0; // where a surface read without an OVERLAPPED starts
};

// The JMicron mutex: whether it is held, and how far the three steps of the one command it is
// held for have come.
struct JMicronState {
    bool held = false;
    int nextStep = 0;
    std::uint8_t opcode = 0;
    std::uint8_t log = 0;
};

struct State {
    std::map<int, FakeDrive> drives;
    std::map<int, FakeDrive> ports;
    std::set<int> namedPorts; // whose driver named itself as one the program reads
    std::vector<KernelCall> calls;
    std::map<HANDLE, OpenHandle> handles;
    std::set<void*> allocations;
    // Far above the handles that the process's own table hands out, threads' among them.
    std::uintptr_t nextHandle = 0x4000'0000;
    LONGLONG clock = 0;
    LONGLONG frequency = FakeKernel::kFrequency;
    bool failAllocations = false;
    std::vector<FakeVolume> volumes;
    std::map<HANDLE, std::size_t> volumeSearches; // the next volume each search lists
    UINT errorMode = 0;
    JMicronState jmicron;
    int openInfoLists = 0;
    bool hanging = false;          // a surface read waits for a cancel
    bool stuck = false;            // a surface read waits for the test
    std::uint64_t surfaceReads = 0;
};

State& S()
{
    static State state;
    return state;
}

using Guard = std::unique_lock<std::mutex>;

Guard Lock()
{
    static std::mutex mutex;
    return Guard(mutex);
}

// Signalled by a cancel of the read that hangs.
HANDLE HangEnded()
{
    static const HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    return event;
}

// Signalled by the test, to end the read that is stuck.
HANDLE StuckEnded()
{
    static const HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    return event;
}

// Long enough for any scan to have asked; a test whose hanging read is never cancelled fails
// instead of hanging itself.
constexpr DWORD kHangLimit = 30'000;

// Waits, the fake free meanwhile, until `ended` is signalled; a wait past the limit fails the
// test with `fault`. The request then fails with `error`.
BOOL WaitInRequest(Guard& guard, bool& flag, HANDLE ended, const char* fault, DWORD error)
{
    flag = true;
    guard.unlock();
    const DWORD waited = ::WaitForSingleObject(ended, kHangLimit);
    guard.lock();
    flag = false;
    EXPECT_EQ(waited, WAIT_OBJECT_0) << fault;
    ::SetLastError(error);
    return FALSE;
}

// Every request code the program may send. Anything else is a fault: the codes that change
// a drive (writes, format, partitioning) all lie outside, and SMART commands and SCSI
// pass-through commands are checked apart.
const std::set<DWORD>& AllowedCodes()
{
    static const std::set<DWORD> codes{IOCTL_DISK_GET_LENGTH_INFO,    IOCTL_STORAGE_QUERY_PROPERTY,
                                       IOCTL_STORAGE_PREDICT_FAILURE, SMART_GET_VERSION,
                                       SMART_RCV_DRIVE_DATA,          IOCTL_SCSI_PASS_THROUGH,
                                       IOCTL_STORAGE_GET_DEVICE_NUMBER, IOCTL_DISK_GET_DRIVE_GEOMETRY_EX,
                                       IOCTL_DISK_GET_DRIVE_LAYOUT_EX,  IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS,
                                       IOCTL_ATA_PASS_THROUGH,          IOCTL_SCSI_GET_ADDRESS,
                                       IOCTL_SCSI_MINIPORT};
    return codes;
}

// The requests that need the read-write handle, and the only ones allowed on it.
bool NeedsReadWrite(DWORD code)
{
    return code == SMART_RCV_DRIVE_DATA || code == IOCTL_SCSI_PASS_THROUGH || code == IOCTL_ATA_PASS_THROUGH ||
           code == IOCTL_SCSI_MINIPORT;
}

// The disk driver's ATA pass-through may carry only IDENTIFY DEVICE and READ LOG EXT of the
// first page of the extended error or self-test log (03h, 07h): PIO data in, one 512-byte page
// inside the buffer, every other register zero but the device register's obsolete bits.
bool IsAllowedAtaPassThrough(const FakeBytes& input, DWORD outSize)
{
    ATA_PASS_THROUGH_EX request{};
    if (input.size() < sizeof(request)) {
        return false;
    }
    std::memcpy(&request, input.data(), sizeof(request));
    const auto* task = request.CurrentTaskFile;
    const bool identify = task[6] == 0xEC && task[2] == 0 && (request.AtaFlags & ATA_FLAGS_48BIT_COMMAND) == 0;
    const bool logExt = task[6] == 0x2F && (task[2] == 0x03 || task[2] == 0x07);
    const bool noHighBytes = std::all_of(std::begin(request.PreviousTaskFile), std::end(request.PreviousTaskFile),
                                         [](UCHAR b) { return b == 0; });
    return request.Length == sizeof(request) && (identify || logExt) && task[0] == 0 && task[1] == 1 && task[3] == 0 &&
           task[4] == 0 && task[5] == 0xA0 && task[7] == 0 && noHighBytes &&
           (request.AtaFlags & ~(ATA_FLAGS_DRDY_REQUIRED | ATA_FLAGS_48BIT_COMMAND)) == ATA_FLAGS_DATA_IN &&
           request.DataTransferLength == 512 && request.DataBufferOffset >= sizeof(request) &&
           request.DataBufferOffset + 512 <= std::min<std::size_t>(outSize, input.size());
}

// A SMART command may only ever read: SMART READ DATA or SMART READ THRESHOLDS, in a whole
// 33-byte SENDCMDINPARAMS with the SMART signature. Every other SMART feature (enabling,
// disabling, saving attributes, running self-tests, writing logs) changes the drive.
bool IsReadOnlySmartCommand(const FakeBytes& input)
{
    return input.size() == sizeof(SENDCMDINPARAMS) && input[10] == 0xB0 && (input[4] == 0xD0 || input[4] == 0xD1) &&
           input[7] == 0x4F && input[8] == 0xC2;
}

// The drive's own logs, read only: SMART READ LOG of exactly one of three logs, each with its
// own sector count (the self-test and summary error logs one sector, device statistics pages
// from page 0, up to eight). The log directory (address 0), every other log and every write of
// one lie outside.
bool IsAllowedLogRead(std::uint8_t address, std::uint8_t sectors)
{
    return sectors >= 1 && (address == 0x06 || address == 0x01 ? sectors == 1 : address == 0x04 && sectors <= 8);
}

// SMART READ LOG through the disk driver: the command above, its buffer size the log's, and
// room in the answer for the log behind SENDCMDOUTPARAMS.
bool IsSmartLogRead(const FakeBytes& input, DWORD outSize)
{
    return input.size() == sizeof(SENDCMDINPARAMS) && input[10] == 0xB0 && input[4] == 0xD5 && input[7] == 0x4F &&
           input[8] == 0xC2 && IsAllowedLogRead(input[6], input[5]) &&
           (input[0] | input[1] << 8 | input[2] << 16 | input[3] << 24) == input[5] * 512 &&
           outSize >= offsetof(SENDCMDOUTPARAMS, bBuffer) + input[5] * 512u;
}

using Cdb = std::array<std::uint8_t, sizeof(SCSI_PASS_THROUGH::Cdb)>;
using Family = NvmeBridge::Family;

// The same through a USB bridge: ATA PASS-THROUGH (16 or 12) of SMART READ LOG, PIO data in,
// as many 512-byte blocks as the count says.
bool IsBridgeLogRead(const Cdb& cdb, const SCSI_PASS_THROUGH& request)
{
    const bool sixteen = request.CdbLength == 16;
    const std::uint8_t sectors = cdb[sixteen ? 6 : 4];
    const std::uint8_t address = cdb[sixteen ? 8 : 5];
    const Cdb expected = sixteen ? Cdb{0x85, 0x08, 0x0E, 0x00, 0xD5, 0x00, sectors, 0x00, address, 0x00, 0x4F, 0x00,
                                       0xC2, 0xA0, 0xB0, 0x00}
                                 : Cdb{0xA1, 0x08, 0x0E, 0xD5, sectors, address, 0x4F, 0xC2, 0xA0, 0xB0, 0x00, 0x00};
    return (sixteen || request.CdbLength == 12) && cdb == expected && IsAllowedLogRead(address, sectors) &&
           request.DataIn == SCSI_IOCTL_DATA_IN && request.DataTransferLength == sectors * 512u;
}

// Every command block a SCSI pass-through may carry: ATA PASS-THROUGH (16 or 12) of SMART READ
// DATA, SMART READ THRESHOLDS, IDENTIFY DEVICE or READ LOG EXT of the extended logs' first page
// (03h, 07h) to any bridge, and the vendor commands that tunnel NVMe Get Log
// Page (health log) and Identify Controller, each only to a bridge of its family. Any other
// command block could reach the drive's media or settings.
struct AllowedCommand {
    Cdb cdb;
    std::size_t cdbLength;
    std::optional<Family> family; // of the bridge that may be sent it; none for ATA PASS-THROUGH
    UCHAR direction;
    DWORD length;
    int jmicronStep; // -1 for the single-command tunnels and ATA PASS-THROUGH
};

const std::vector<AllowedCommand>& AllowedCommands()
{
    constexpr UCHAR in = SCSI_IOCTL_DATA_IN;
    static const std::vector<AllowedCommand> commands{
        {{0x85, 0x08, 0x0E, 0x00, 0xD0, 0x00, 0x01, 0x00, 0x00, 0x00, 0x4F, 0x00, 0xC2, 0xA0, 0xB0, 0x00}, 16, {}, in, 512, -1},
        {{0x85, 0x08, 0x0E, 0x00, 0xD1, 0x00, 0x01, 0x00, 0x00, 0x00, 0x4F, 0x00, 0xC2, 0xA0, 0xB0, 0x00}, 16, {}, in, 512, -1},
        {{0xA1, 0x08, 0x0E, 0xD0, 0x01, 0x00, 0x4F, 0xC2, 0xA0, 0xB0, 0x00, 0x00}, 12, {}, in, 512, -1},
        {{0xA1, 0x08, 0x0E, 0xD1, 0x01, 0x00, 0x4F, 0xC2, 0xA0, 0xB0, 0x00, 0x00}, 12, {}, in, 512, -1},
        {{0x85, 0x08, 0x0E, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xA0, 0xEC, 0x00}, 16, {}, in, 512, -1},
        {{0xA1, 0x08, 0x0E, 0x00, 0x01, 0x00, 0x00, 0x00, 0xA0, 0xEC, 0x00, 0x00}, 12, {}, in, 512, -1},
        // READ LOG EXT of the first page of the extended error log and self-test log.
        {{0x85, 0x09, 0x0E, 0x00, 0x00, 0x00, 0x01, 0x00, 0x03, 0x00, 0x00, 0x00, 0x00, 0xA0, 0x2F, 0x00}, 16, {}, in, 512, -1},
        {{0x85, 0x09, 0x0E, 0x00, 0x00, 0x00, 0x01, 0x00, 0x07, 0x00, 0x00, 0x00, 0x00, 0xA0, 0x2F, 0x00}, 16, {}, in, 512, -1},
        {{0xA1, 0x08, 0x0E, 0x00, 0x01, 0x03, 0x00, 0x00, 0xA0, 0x2F, 0x00, 0x00}, 12, {}, in, 512, -1},
        {{0xA1, 0x08, 0x0E, 0x00, 0x01, 0x07, 0x00, 0x00, 0xA0, 0x2F, 0x00, 0x00}, 12, {}, in, 512, -1},
        {{0xE4, 0x00, 0x02, 0x02, 0x02}, 16, Family::Realtek, in, 512, -1},
        {{0xE4, 0x00, 0x10, 0x06, 0x01}, 16, Family::Realtek, in, 4096, -1},
        {{0xE6, 0x02, 0x00, 0x02, 0x00, 0x00, 0x00, 0x7F}, 16, Family::ASMedia, in, 512, -1},
        {{0xE6, 0x06, 0x00, 0x01}, 16, Family::ASMedia, in, 4096, -1},
        {{0xA1, 0x80, 0x00, 0x00, 0x02, 0x00}, 12, Family::JMicron, SCSI_IOCTL_DATA_OUT, 512, 0},
        {{0xA1, 0x82, 0x00, 0x00, 0x02, 0x00}, 12, Family::JMicron, in, 512, 1},
        {{0xA1, 0x82, 0x00, 0x00, 0x10, 0x00}, 12, Family::JMicron, in, 4096, 1},
        {{0xA1, 0x82, 0x00, 0x00, 0x02, 0x34}, 12, Family::JMicron, in, 564, 1},
        {{0xA1, 0x8F, 0x00, 0x00, 0x02, 0x00}, 12, Family::JMicron, in, 512, 2},
    };
    return commands;
}

// The three JMicron command descriptors, the only bytes ever sent toward a device: "NVME", the
// opcode at 8, the namespace at 12 and CDW10 at 48; Get Log Page, for every namespace, of log
// 02h (128 dwords) or 06h (141 dwords), or Identify of the controller. Every other byte 0.
FakeBytes JMicronDescriptor(std::uint8_t opcode, std::uint8_t log = 0x02)
{
    FakeBytes block(512, 0);
    std::memcpy(block.data(), "NVME", 4);
    block[8] = opcode;
    if (opcode == 0x02) {
        std::fill_n(block.begin() + 12, 4, std::uint8_t{0xFF});
        block[48] = log;
        block[50] = log == 0x02 ? 0x7F : 0x8C;
    } else {
        block[48] = 0x01;
    }
    return block;
}

// The answer length of the command a JMicron descriptor carries.
DWORD JMicronLength(const JMicronState& state)
{
    return state.opcode != 0x02 ? 4096 : state.log == 0x02 ? 512 : 564;
}

// Why a SCSI pass-through to `drive` is one the program must not send, or empty when it may:
// the command block byte for byte, its sense and data areas inside the buffer as Windows
// demands, data out only for JMicron's first step with one of the two descriptors, and the
// three JMicron steps in order under the mutex.
std::string PassThroughFault(const FakeBytes& input, DWORD outSize, const FakeDrive& drive)
{
    SCSI_PASS_THROUGH request{};
    if (input.size() < sizeof(request)) {
        return "a pass-through shorter than SCSI_PASS_THROUGH";
    }
    std::memcpy(&request, input.data(), sizeof(request));
    Cdb cdb{};
    std::memcpy(cdb.data(), request.Cdb, cdb.size());
    const auto& commands = AllowedCommands();
    const auto command = std::find_if(commands.begin(), commands.end(),
                                      [&cdb](const AllowedCommand& allowed) { return allowed.cdb == cdb; });
    const auto inside = [outSize](std::uint64_t offset, std::uint64_t length) {
        return length <= outSize && offset <= outSize - length;
    };
    if (command == commands.end() && IsBridgeLogRead(cdb, request) &&
        inside(request.DataBufferOffset, request.DataTransferLength) &&
        inside(request.SenseInfoOffset, request.SenseInfoLength)) {
        return {};
    }
    if (command == commands.end()) {
        return "a command block that is not one the program may send";
    }
    if (command->family && command->family != drive.bridge) {
        return "a vendor command to a bridge not of its family";
    }
    if (request.CdbLength != command->cdbLength || request.Length != sizeof(request) ||
        request.DataIn != command->direction || request.DataTransferLength != command->length ||
        !inside(request.DataBufferOffset, request.DataTransferLength) ||
        !inside(request.SenseInfoOffset, request.SenseInfoLength)) {
        return "a pass-through whose length, direction or areas do not fit its command";
    }
    if (command->jmicronStep < 0) {
        return {};
    }
    JMicronState& jmicron = S().jmicron;
    if (!jmicron.held || jmicron.nextStep != command->jmicronStep) {
        return "a JMicron step out of order or without the mutex";
    }
    ++jmicron.nextStep;
    if (command->jmicronStep == 0) {
        if (input.size() < request.DataBufferOffset + 512) {
            return "a JMicron descriptor outside the input";
        }
        const auto from = input.begin() + static_cast<std::ptrdiff_t>(request.DataBufferOffset);
        const FakeBytes sent(from, from + 512);
        if (sent != JMicronDescriptor(0x02) && sent != JMicronDescriptor(0x06) && sent != JMicronDescriptor(0x02, 0x06)) {
            return "data out other than one of the three JMicron descriptors";
        }
        jmicron.opcode = sent[8];
        jmicron.log = sent[48];
    } else if (command->jmicronStep == 1 && command->length != JMicronLength(jmicron)) {
        return "a JMicron data step of another length than its descriptor's command";
    }
    return {};
}

// The drivers whose CSMI the program reads, as they name themselves.
bool IsReadDriver(const FakeBytes& driverInfo)
{
    const std::string name(reinterpret_cast<const char*>(driverInfo.data() + 28));
    return name == "iaStorA" || name == "iaStorAC" || name == "iaStorAVC" || name == "iaStorVD" || name == "rcraid";
}

// Why a CSMI request to a RAID driver's port is one the program must not send, or empty when it may. The
// SRB_IO_CONTROL header (HeaderLength 28, the signature at 4, Timeout at 12, ControlCode at 16,
// Length at 24: every byte after the header) and the whole buffer both ways, exactly the size of
// CSMI's published buffer: GET_DRIVER_INFO ("CSMIALL", 1) 204 bytes; GET_PHY_INFO
// ("CSMISAS", 20) 2,080; STP_PASSTHRU ("CSMISAS", 25) 168 and its data, only after the driver named
// itself as one the program reads, carrying a register host-to-device FIS (at 44) of IDENTIFY
// DEVICE, SMART READ DATA, READ THRESHOLDS or READ LOG of a log it may read, PIO data in
// (uFlags at 64: READ | PIO), uDataLength (at 68) its sectors' bytes.
std::string CsmiFault(const FakeBytes& input, DWORD outSize, int port)
{
    const auto le = [&input](std::size_t at) {
        return static_cast<std::uint32_t>(input[at] | input[at + 1] << 8 | input[at + 2] << 16 | input[at + 3] << 24);
    };
    if (input.size() < 28 || outSize != input.size() || le(0) != 28 || le(24) != input.size() - 28 || le(12) == 0) {
        return "a header or buffer that is not the request's own";
    }
    const std::string signature(input.begin() + 4, input.begin() + 12);
    const std::uint32_t code = le(16);
    if (signature == std::string("CSMIALL\0", 8) && code == 1) {
        return input.size() == 204 ? "" : "GET_DRIVER_INFO of another size than 204";
    }
    if (signature != std::string("CSMISAS\0", 8) || (code != 20 && code != 25)) {
        return "a CSMI request other than GET_DRIVER_INFO, GET_PHY_INFO or STP_PASSTHRU";
    }
    if (S().namedPorts.count(port) == 0) {
        return "a CSMI request to a driver that did not name itself as one the program reads";
    }
    if (code == 20) {
        return input.size() == 2080 ? "" : "GET_PHY_INFO of another size than 2,080";
    }
    if (input.size() < 168) {
        return "an STP_PASSTHRU shorter than its structure";
    }
    const std::uint8_t count = input[56];
    FakeBytes fis(input.begin() + 44, input.begin() + 64);
    const FakeBytes identify{0x27, 0x80, 0xEC, 0, 0, 0, 0, 0xA0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0};
    const FakeBytes smart{0x27, 0x80, 0xB0, fis[3], fis[4], 0x4F, 0xC2, 0xA0, 0, 0, 0, 0, count, 0, 0, 0, 0, 0, 0, 0};
    const bool smartRead = fis == smart && ((fis[3] == 0xD0 || fis[3] == 0xD1) ? fis[4] == 0 && count == 1
                                            : fis[3] == 0xD5 && IsAllowedLogRead(fis[4], count));
    if ((fis != identify && !smartRead) || le(64) != 0x11 || le(68) != count * 512u || input.size() != 168 + le(68)) {
        return "an STP_PASSTHRU other than PIO data in of IDENTIFY DEVICE, SMART READ DATA, READ THRESHOLDS or "
               "READ LOG of a log it may read";
    }
    return {};
}

// The RST NVMe pass-through ("IntelNvm") may carry exactly four commands, all reading: Identify
// Controller, and Get Log Page for all namespaces of the health log (02h, 512 bytes), the
// self-test log (06h, 564 bytes) and the error log (01h, 1 to 64 entries of 64 bytes), each as
// the whole published structure both ways: no other opcode, no log outside the list, no byte
// toward the drive. Why not, or empty when it may.
std::string RstNvmeFault(const FakeBytes& in, DWORD outSize)
{
    if (in.size() != 4260 || outSize != 4260 || !std::equal(in.begin() + 4, in.begin() + 12, "IntelNvm")) {
        return "not the whole 4,260-byte IntelNvm structure both ways";
    }
    std::uint32_t nsid = 0, cdw10 = 0;
    std::memcpy(&nsid, &in[36], 4);
    std::memcpy(&cdw10, &in[72], 4);
    const std::uint32_t log = cdw10 & 0xFFFF, bytes = ((cdw10 >> 16) + 1) * 4;
    const bool identify = in[32] == 0x06 && nsid == 0 && cdw10 == 1;
    const bool logRead = in[32] == 0x02 && nsid == 0xFFFFFFFF &&
                         (log == 0x02 ? bytes == 512 : log == 0x06 ? bytes == 564 : log == 0x01 && bytes % 64 == 0 && bytes <= 4096);
    if (!identify && !logRead) {
        return "a command other than Identify Controller or Get Log Page of 02h, 06h or 01h";
    }
    const FakeBytes published = DriveAnswers::RstNvmeRequest(in[32], nsid, cdw10, identify ? 4096 : bytes, in[29], in[30], in[31]);
    return in == published ? std::string() : "a header, data place or length other than published, or data out";
}

// A miniport request by its signature: the RST NVMe pass-through's, to a driver that named
// itself, or CSMI's.
std::string MiniportFault(const FakeBytes& in, DWORD outSize, int port)
{
    if (in.size() < 12 || !std::equal(in.begin() + 4, in.begin() + 12, "IntelNvm")) {
        return CsmiFault(in, outSize, port);
    }
    return S().namedPorts.count(port) == 0 ? "an RST NVMe pass-through to a driver that did not name itself"
                                           : RstNvmeFault(in, outSize);
}

constexpr wchar_t kPathPrefix[] = L"\\\\.\\PhysicalDrive";
constexpr wchar_t kPortPrefix[] = L"\\\\.\\Scsi";

// The number of a path of the exact form "\\.\PhysicalDriveN" (or "\\.\ScsiN:"), or -1.
int ParseDrivePath(std::wstring path, const wchar_t* prefixText = kPathPrefix, const wchar_t* suffix = L"")
{
    const std::wstring prefix(prefixText);
    if (path.size() <= prefix.size() + std::wcslen(suffix) || path.substr(path.size() - std::wcslen(suffix)) != suffix) {
        return -1;
    }
    path.resize(path.size() - std::wcslen(suffix));
    if (path.rfind(prefix, 0) != 0 || path.size() == prefix.size() || path.size() > prefix.size() + 3) {
        return -1;
    }
    int number = 0;
    for (std::size_t i = prefix.size(); i < path.size(); ++i) {
        if (!std::iswdigit(path[i])) {
            return -1;
        }
        number = number * 10 + (path[i] - L'0');
    }
    if (path.size() > prefix.size() + 1 && path[prefix.size()] == L'0') {
        return -1; // leading zeros name no device
    }
    return number;
}

// The disk device interface of each fake drive, as the device tree lists it.
constexpr wchar_t kInterfacePrefix[] = L"\\\\?\\scsi#disk&ven_fake#";
constexpr wchar_t kInterfaceSuffix[] = L"#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}";

std::wstring InterfacePath(int drive)
{
    return kInterfacePrefix + std::to_wstring(drive) + kInterfaceSuffix;
}

// The drive number of a disk interface path, or -1.
int ParseInterfacePath(const std::wstring& path)
{
    for (const auto& [number, drive] : S().drives) {
        if (path == InterfacePath(number)) {
            return number;
        }
    }
    return -1;
}

// A device node of the fake tree: a drive's disk at depth 0, its parents above.
constexpr DEVINST kNodesPerDrive = 100;
DEVINST NodeOf(int drive, std::size_t depth)
{
    return static_cast<DEVINST>(drive + 1) * kNodesPerDrive + static_cast<DEVINST>(depth);
}

// The device IDs above the drive of a fake node, and the node's depth; null for no such node.
const std::vector<std::wstring>* ParentsAbove(DEVINST node, std::size_t& depth)
{
    depth = node % kNodesPerDrive;
    const auto it = S().drives.find(static_cast<int>(node / kNodesPerDrive) - 1);
    return it == S().drives.end() ? nullptr : &it->second.parents;
}

const HDEVINFO kInfoList = reinterpret_cast<HDEVINFO>(std::uintptr_t{0x5E7D});

OpenHandle* Find(HANDLE handle)
{
    auto it = S().handles.find(handle);
    if (it == S().handles.end() || it->second.closed) {
        ADD_FAILURE() << "call on a handle that is not open: " << handle;
        return nullptr;
    }
    return &it->second;
}

KernelCall& Log(KernelCall::Kind kind)
{
    KernelCall call;
    call.kind = kind;
    S().calls.push_back(call);
    return S().calls.back();
}

constexpr wchar_t kVolumePrefix[] = L"\\\\?\\Volume{";

// The scripted volume of that name, logging the call; null (and the error set) when there is none.
FakeVolume* NamedVolume(const char* function, LPCWSTR name)
{
    KernelCall& call = Log(KernelCall::Kind::Volume);
    call.function = function;
    call.path = name != nullptr ? name : L"";
    const auto it = std::find_if(S().volumes.begin(), S().volumes.end(),
                                 [&call](const FakeVolume& volume) { return volume.name == call.path; });
    if (it == S().volumes.end()) {
        ::SetLastError(ERROR_FILE_NOT_FOUND);
        return nullptr;
    }
    call.succeeded = true;
    return &*it;
}

// Copies `text` and its NUL into a caller's buffer of `capacity` characters, when it fits.
bool CopyOut(const std::wstring& text, LPWSTR buffer, DWORD capacity)
{
    if (buffer == nullptr || text.size() >= capacity) {
        ::SetLastError(ERROR_MORE_DATA);
        return false;
    }
    std::copy(text.c_str(), text.c_str() + text.size() + 1, buffer);
    return true;
}

// A volume, opened by its name without the trailing backslash, with no access at all:
// the program asks only for its extents. Anything after the name is a path on the volume, whose
// open makes Windows mount the file system, and a mount writes to the drive.
HANDLE OpenVolume(KernelCall& call, DWORD desiredAccess, DWORD shareMode)
{
    if (call.path.find(L'}') + 1 != call.path.size()) {
        ADD_FAILURE() << "an open of a path on a volume, which would mount its file system";
        ::SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    if (desiredAccess != 0) {
        ADD_FAILURE() << "a volume opened with access 0x" << std::hex << desiredAccess << ": only 0 is allowed";
    }
    if (shareMode != (FILE_SHARE_READ | FILE_SHARE_WRITE)) {
        ADD_FAILURE() << "a volume opened with share mode " << shareMode;
    }
    const auto it = std::find_if(S().volumes.begin(), S().volumes.end(),
                                 [&call](const FakeVolume& volume) { return volume.name == call.path + L"\\"; });
    if (it == S().volumes.end() || !it->opens) {
        ::SetLastError(it == S().volumes.end() ? ERROR_FILE_NOT_FOUND : ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    const HANDLE handle = reinterpret_cast<HANDLE>(S().nextHandle);
    S().nextHandle += 4;
    OpenHandle open;
    open.access = desiredAccess;
    open.volume = static_cast<int>(it - S().volumes.begin());
    S().handles[handle] = open;
    call.handle = handle;
    call.succeeded = true;
    return handle;
}

} // namespace

FakeDrive& FakeDrive::Answer(DWORD code, FakeBytes bytes)
{
    answers[code] = [bytes = std::move(bytes)](const FakeBytes&) { return std::optional<FakeBytes>(bytes); };
    return *this;
}

FakeDrive& FakeDrive::WithSurface(FakeSurface given)
{
    DISK_GEOMETRY_EX geometry{};
    geometry.Geometry.BytesPerSector = given.sectorSize;
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(&geometry);
    surface = std::move(given);
    return Answer(IOCTL_DISK_GET_DRIVE_GEOMETRY_EX, FakeBytes(bytes, bytes + sizeof(geometry)));
}

std::filesystem::path FakeSurface::DemoFile(const char* builtIn)
{
    const char* given = std::getenv("OSTREVANE_DEMO_SURFACES");
    if (given == nullptr || *given == '\0') {
        return builtIn;
    }
    return given[0] == '/' ? std::string("Z:") + given : std::string(given);
}

std::map<int, FakeSurface> FakeSurface::Load(const std::filesystem::path& file)
{
    std::map<int, FakeSurface> surfaces;
    std::ifstream in(file);
    if (!in) {
        ADD_FAILURE() << "no surfaces file " << file.string();
        return surfaces;
    }
    std::string line;
    bool header = true;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (line.empty() || line[0] == '#') {
            continue;
        }
        if (std::exchange(header, false)) {
            EXPECT_EQ(line, "drive\tkind\tfirst_lba\tsectors\tvalue") << file.string();
            continue;
        }
        std::vector<std::string> cells;
        std::istringstream row(line);
        for (std::string cell; std::getline(row, cell, '\t');) {
            cells.push_back(cell);
        }
        cells.resize(5);
        const auto number = [&](std::size_t column) { return cells[column].empty() ? 0 : std::stoull(cells[column]); };
        FakeSurface& surface = surfaces[std::stoi(cells[0])];
        const std::string& kind = cells[1];
        if (kind == "rate") {
            surface.zones.push_back({number(2), number(3), std::stod(cells[4])});
        } else if (kind == "slow") {
            surface.slow.push_back({number(2), number(3), std::stod(cells[4])});
        } else if (kind == "unreadable") {
            surface.unreadable.push_back({number(2), number(3)});
        } else if (kind == "gone") {
            surface.goneFromLba = std::min(surface.goneFromLba.value_or(UINT64_MAX), number(2));
        } else {
            ADD_FAILURE() << "surface row of unknown kind: " << line;
        }
    }
    return surfaces;
}

void FakeKernel::Reset()
{
    const Guard guard = Lock();
    for (const auto& [handle, open] : S().handles) {
        if (open.thread && !open.closed) {
            ADD_FAILURE() << "a thread's handle left open";
        }
    }
    S() = State{};
}

FakeDrive& FakeKernel::Drive(int driveNumber)
{
    const Guard guard = Lock();
    return S().drives[driveNumber];
}

FakeDrive& FakeKernel::Port(int portNumber)
{
    const Guard guard = Lock();
    return S().ports[portNumber];
}

void FakeKernel::RemoveDrive(int driveNumber)
{
    const Guard guard = Lock();
    S().drives.erase(driveNumber);
}

void FakeKernel::SetFrequency(LONGLONG frequency)
{
    const Guard guard = Lock();
    S().frequency = frequency;
}

void FakeKernel::FailAllocations(bool fail)
{
    const Guard guard = Lock();
    S().failAllocations = fail;
}

const std::vector<KernelCall>& FakeKernel::Calls()
{
    return S().calls;
}

std::vector<KernelCall> FakeKernel::CallsOf(KernelCall::Kind kind)
{
    const Guard guard = Lock();
    std::vector<KernelCall> selected;
    std::copy_if(S().calls.begin(), S().calls.end(), std::back_inserter(selected),
                 [kind](const KernelCall& call) { return call.kind == kind; });
    return selected;
}

bool FakeKernel::Stuck()
{
    const Guard guard = Lock();
    return S().stuck;
}

void FakeKernel::ReleaseStuckRead()
{
    SetEvent(StuckEnded());
}

bool FakeKernel::Hanging()
{
    const Guard guard = Lock();
    return S().hanging;
}

std::uint64_t FakeKernel::SurfaceReads()
{
    const Guard guard = Lock();
    return S().surfaceReads;
}

int FakeKernel::OpenHandles()
{
    const Guard guard = Lock();
    return S().openInfoLists + static_cast<int>(std::count_if(S().handles.begin(), S().handles.end(),
                                                              [](const auto& entry) { return !entry.second.closed; }));
}

DWORD FakeKernel::AccessOf(HANDLE handle)
{
    const Guard guard = Lock();
    const auto it = S().handles.find(handle);
    return it == S().handles.end() ? 0 : it->second.access;
}

FakeVolume& FakeKernel::AddVolume(const std::wstring& name)
{
    const Guard guard = Lock();
    S().volumes.push_back(FakeVolume{});
    S().volumes.back().name = name;
    return S().volumes.back();
}

UINT FakeKernel::ErrorMode()
{
    const Guard guard = Lock();
    return S().errorMode;
}

HANDLE Kernel::CreateFileW(LPCWSTR fileName, DWORD desiredAccess, DWORD shareMode,
                           LPSECURITY_ATTRIBUTES securityAttributes, DWORD creationDisposition,
                           DWORD flagsAndAttributes, HANDLE templateFile)
{
    const Guard guard = Lock();
    KernelCall& call = Log(KernelCall::Kind::Open);
    call.path = fileName != nullptr ? fileName : L"";
    call.access = desiredAccess;
    call.share = shareMode;
    call.disposition = creationDisposition;
    call.flags = flagsAndAttributes;
    call.securityNull = securityAttributes == nullptr;
    call.templateNull = templateFile == nullptr;
    call.handle = INVALID_HANDLE_VALUE;
    if (call.path.rfind(kVolumePrefix, 0) == 0) {
        return OpenVolume(call, desiredAccess, shareMode);
    }
    if (const int port = ParseDrivePath(call.path, kPortPrefix, L":"); port >= 0) {
        EXPECT_EQ(desiredAccess, DWORD{GENERIC_READ | GENERIC_WRITE}) << "a port opened without the access its requests need";
        if (S().ports.count(port) == 0) {
            ::SetLastError(ERROR_FILE_NOT_FOUND);
            return INVALID_HANDLE_VALUE;
        }
        call.handle = reinterpret_cast<HANDLE>(S().nextHandle);
        S().nextHandle += 4;
        S().handles[call.handle] = OpenHandle{-1, desiredAccess, false, 0, 0, false, -1, port};
        call.succeeded = true;
        return call.handle;
    }

    // Drives open for reading (and, for SMART and pass-through, writing); disk interfaces with
    // access 0, to be asked their device number.
    const int interfaceDrive = ParseInterfacePath(call.path);
    if (interfaceDrive < 0 && ParseDrivePath(call.path) < 0) {
        ADD_FAILURE() << "an open of a path that is no drive, disk interface or volume device, such as a "
                         "volume's letter, which would mount its file system";
    }
    const bool accessFits = interfaceDrive >= 0 ? desiredAccess == 0
                                                : desiredAccess == GENERIC_READ ||
                                                      desiredAccess == (GENERIC_READ | GENERIC_WRITE);
    if (!accessFits) {
        ADD_FAILURE() << "open with access 0x" << std::hex << desiredAccess << " of " << call.path.size() << " chars";
    }
    if (creationDisposition != OPEN_EXISTING) {
        ADD_FAILURE() << "open with disposition " << creationDisposition << ": only OPEN_EXISTING leaves a drive alone";
    }

    const int drive = interfaceDrive >= 0 ? interfaceDrive : ParseDrivePath(call.path);
    const auto it = S().drives.find(drive);
    const bool wantsWrite = (desiredAccess & GENERIC_WRITE) != 0;
    if (drive < 0 || it == S().drives.end() || !it->second.opens || (wantsWrite && !it->second.opensReadWrite)) {
        ::SetLastError(drive < 0 || it == S().drives.end() ? ERROR_FILE_NOT_FOUND : ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    const HANDLE handle = reinterpret_cast<HANDLE>(S().nextHandle);
    S().nextHandle += 4;
    S().handles[handle] = OpenHandle{drive, desiredAccess, false, 0, flagsAndAttributes};
    call.handle = handle;
    call.succeeded = true;
    return handle;
}

BOOL Kernel::DeviceIoControl(HANDLE device, DWORD ioControlCode, LPVOID inBuffer, DWORD inBufferSize,
                             LPVOID outBuffer, DWORD outBufferSize, LPDWORD bytesReturned,
                             LPOVERLAPPED overlapped)
{
    Guard guard = Lock();
    KernelCall& call = Log(KernelCall::Kind::Control);
    call.handle = device;
    call.code = ioControlCode;
    call.outSize = outBufferSize;
    call.overlappedNull = overlapped == nullptr;
    if (inBuffer != nullptr) {
        const auto* in = static_cast<const std::uint8_t*>(inBuffer);
        call.input.assign(in, in + inBufferSize);
    }
    if (outBuffer != nullptr) {
        // Where one buffer is both, its input part is in `input`; the rest must be zeros.
        const auto* out = static_cast<const std::uint8_t*>(outBuffer);
        const DWORD from = outBuffer == inBuffer ? std::min(inBufferSize, outBufferSize) : 0;
        call.outZeroed = std::all_of(out + from, out + outBufferSize, [](std::uint8_t b) { return b == 0; });
    }

    if (AllowedCodes().count(ioControlCode) == 0) {
        ADD_FAILURE() << "request code 0x" << std::hex << ioControlCode << " is not one the program may send";
        ::SetLastError(ERROR_INVALID_FUNCTION);
        return FALSE;
    }
    if (ioControlCode == SMART_RCV_DRIVE_DATA && !IsReadOnlySmartCommand(call.input) &&
        !IsSmartLogRead(call.input, outBufferSize)) {
        ADD_FAILURE() << "a SMART command other than READ DATA, READ THRESHOLDS or READ LOG of a log it may read";
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (ioControlCode == IOCTL_ATA_PASS_THROUGH && !IsAllowedAtaPassThrough(call.input, outBufferSize)) {
        ADD_FAILURE() << "an ATA pass-through other than IDENTIFY DEVICE or READ LOG EXT of log 03h or 07h";
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const OpenHandle* open = Find(device);
    if (open == nullptr) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    // A port answers the miniport request alone, and only a port is sent one.
    const std::string miniportFault = (open->port >= 0) != (ioControlCode == IOCTL_SCSI_MINIPORT)
                                          ? "a request to a port other than IOCTL_SCSI_MINIPORT, or one to a drive"
                                      : open->port >= 0 ? MiniportFault(call.input, outBufferSize, open->port)
                                                        : "";
    if (!miniportFault.empty()) {
        ADD_FAILURE() << "a miniport request the program may not send: " << miniportFault;
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (ioControlCode == IOCTL_SCSI_PASS_THROUGH) {
        if (const std::string fault = PassThroughFault(call.input, outBufferSize, S().drives[open->drive]);
            !fault.empty()) {
            ADD_FAILURE() << "a SCSI pass-through other than ATA PASS-THROUGH of SMART READ DATA, READ THRESHOLDS or "
                             "READ LOG or an NVMe tunnel of the drive's bridge: "
                          << fault;
            ::SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
    }
    // A handle opened with access 0 serves only to ask a disk interface its device number, or a
    // volume its extents.
    const DWORD accessZeroCode =
        open->volume >= 0 ? IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS : IOCTL_STORAGE_GET_DEVICE_NUMBER;
    if ((open->access == 0) != (ioControlCode == accessZeroCode)) {
        ADD_FAILURE() << "request 0x" << std::hex << ioControlCode << " on a handle of access 0x" << open->access;
    }
    if (open->volume < 0 && open->port < 0 && S().drives[open->drive].gone) {
        const std::optional<FakeSurface>& surface = S().drives[open->drive].surface;
        ::SetLastError(surface ? surface->goneError : DWORD{ERROR_DEVICE_NOT_CONNECTED});
        return FALSE;
    }
    if ((open->access & GENERIC_WRITE) != 0 && !NeedsReadWrite(ioControlCode)) {
        ADD_FAILURE() << "request 0x" << std::hex << ioControlCode << " made on a read-write handle";
    }
    if (ioControlCode == IOCTL_SCSI_PASS_THROUGH && (open->access & GENERIC_WRITE) == 0) {
        ADD_FAILURE() << "a SCSI pass-through on a handle without write access, which Windows refuses";
    }
    // Bits 14-15 of a code name the access the I/O manager demands of the handle.
    const DWORD required = (ioControlCode >> 14) & 3;
    const DWORD granted = ((open->access & GENERIC_READ) != 0 ? DWORD{FILE_READ_ACCESS} : 0u) |
                          ((open->access & GENERIC_WRITE) != 0 ? DWORD{FILE_WRITE_ACCESS} : 0u);
    if ((required & ~granted) != 0) {
        ::SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (open->volume < 0 && ioControlCode == IOCTL_DISK_GET_LENGTH_INFO && S().drives[open->drive].surface &&
        S().drives[open->drive].surface->capacityHangs) {
        return WaitInRequest(guard, S().hanging, HangEnded(), "a hanging length request was never cancelled",
                             ERROR_OPERATION_ABORTED);
    }

    std::optional<FakeBytes> bytes;
    if (open->volume >= 0) {
        // A volume answers its extents and nothing else; without media not even those.
        const FakeVolume& volume = S().volumes[static_cast<std::size_t>(open->volume)];
        if (ioControlCode == IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS) {
            bytes = volume.extents;
        }
        ::SetLastError(ioControlCode == IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS ? ERROR_NOT_READY : ERROR_INVALID_FUNCTION);
    } else {
        if (ioControlCode == IOCTL_STORAGE_GET_DEVICE_NUMBER) {
            STORAGE_DEVICE_NUMBER number{FILE_DEVICE_DISK, static_cast<DWORD>(open->drive), 0};
            std::memcpy(outBuffer, &number, std::min<std::size_t>(sizeof(number), outBufferSize));
            call.succeeded = true;
            return TRUE;
        }
        const FakeDrive& drive = open->port >= 0 ? S().ports[open->port] : S().drives[open->drive];
        const auto answer = drive.answers.find(ioControlCode);
        bytes = answer == drive.answers.end() ? std::nullopt : answer->second(call.input);
        // GET_DRIVER_INFO ("CSMIALL", control code 1 at 16) answered with a name the program reads.
        if (open->port >= 0 && bytes && bytes->size() >= 28 + 81 && std::equal(call.input.begin() + 4, call.input.begin() + 11, "CSMIALL") &&
            call.input[16] == 1 && IsReadDriver(*bytes)) {
            S().namedPorts.insert(open->port);
        }
        ::SetLastError(ERROR_INVALID_FUNCTION);
    }
    if (!bytes) {
        return FALSE;
    }
    const DWORD count = static_cast<DWORD>(std::min<std::size_t>(bytes->size(), outBufferSize));
    if (count > 0) {
        std::copy_n(bytes->begin(), count, static_cast<std::uint8_t*>(outBuffer));
    }
    if (bytesReturned != nullptr) {
        *bytesReturned = count;
    }
    // The partition table and the extents come whole or not at all: a buffer too small for them
    // fails, with the error by which Windows asks for a larger one.
    if (count < bytes->size() &&
        (ioControlCode == IOCTL_DISK_GET_DRIVE_LAYOUT_EX || ioControlCode == IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS)) {
        ::SetLastError(ioControlCode == IOCTL_DISK_GET_DRIVE_LAYOUT_EX ? ERROR_INSUFFICIENT_BUFFER : ERROR_MORE_DATA);
        return FALSE;
    }
    call.succeeded = true;
    return TRUE;
}

namespace {

// What a read of `length` bytes at `offset` returns of the drive's contents, zeros elsewhere.
void FillContents(const FakeDrive& drive, LPVOID buffer, std::uint64_t offset, DWORD length)
{
    const auto touches = [&](const auto& content) {
        return content.first < offset + length && offset < content.first + content.second.size();
    };
    if (drive.contents.empty() ||
        (length > FakeDrive::kContentReadLimit && std::none_of(drive.contents.begin(), drive.contents.end(), touches))) {
        return;
    }
    auto* bytes = static_cast<std::uint8_t*>(buffer);
    std::fill_n(bytes, length, std::uint8_t{0});
    for (const auto& [at, content] : drive.contents) {
        const std::uint64_t first = std::max(at, offset);
        const std::uint64_t end = std::min<std::uint64_t>(at + content.size(), offset + length);
        if (first < end) {
            std::copy(content.begin() + static_cast<std::ptrdiff_t>(first - at),
                      content.begin() + static_cast<std::ptrdiff_t>(end - at), bytes + (first - offset));
        }
    }
}

bool Touches(std::uint64_t first, std::uint64_t end, std::uint64_t rangeFirst, std::uint64_t rangeSectors)
{
    return rangeFirst < end && first < rangeFirst + rangeSectors;
}

// A read over the drive's surface: checked as Windows checks an unbuffered read, timed by its
// zone and slow ranges on the fake clock, failing where the surface says so. A read that names
// no offset starts where the handle's last read ended and moves it on, as on Windows.
BOOL SurfaceRead(Guard& guard, FakeDrive& drive, OpenHandle& open, LPVOID buffer, DWORD bytesToRead,
                 LPDWORD bytesRead, LPOVERLAPPED overlapped, KernelCall* call)
{
    const FakeSurface& surface = *drive.surface;
    ++S().surfaceReads;
    const std::uint64_t offset =
        overlapped == nullptr ? open.position : (std::uint64_t{overlapped->OffsetHigh} << 32) | overlapped->Offset;
    const std::uint32_t sector = surface.sectorSize;
    if (call != nullptr) {
        call->offset = offset;
    }
    if (bytesToRead == 0 || offset % sector != 0 || bytesToRead % sector != 0 ||
        reinterpret_cast<std::uintptr_t>(buffer) % sector != 0) {
        ADD_FAILURE() << "an unbuffered read of " << bytesToRead << " bytes at " << offset << " into " << buffer
                      << ": not whole sectors of " << sector;
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const std::uint64_t first = offset / sector;
    const std::uint64_t end = first + bytesToRead / sector;
    if (drive.gone || (surface.goneFromLba && end > *surface.goneFromLba)) {
        drive.gone = true;
        ::SetLastError(surface.goneError);
        return FALSE;
    }
    double rate = FakeSurface::kDefaultRate;
    std::optional<std::uint64_t> zoneFirst;
    for (const FakeSurface::Zone& zone : surface.zones) {
        const bool holds = zone.firstLba <= first && (zone.sectors == 0 || first < zone.firstLba + zone.sectors);
        if (holds && (!zoneFirst || zone.firstLba >= *zoneFirst)) {
            zoneFirst = zone.firstLba;
            rate = zone.mibPerSecond;
        }
    }
    double extra = 0;
    for (const FakeSurface::Slow& slow : surface.slow) {
        if (Touches(first, end, slow.firstLba, slow.sectors)) {
            extra = std::max(extra, slow.extraMilliseconds);
        }
    }
    const double seconds = bytesToRead / (rate * 1048576.0) + extra / 1000.0;
    S().clock += std::llround(seconds * static_cast<double>(S().frequency));
    if (surface.hangAtLba && Touches(first, end, *surface.hangAtLba, 1)) {
        return WaitInRequest(guard, S().hanging, HangEnded(), "a hanging read was never cancelled",
                             ERROR_OPERATION_ABORTED);
    }
    if (surface.stuckAtLba && Touches(first, end, *surface.stuckAtLba, 1)) {
        return WaitInRequest(guard, S().stuck, StuckEnded(), "a stuck read was never released", ERROR_CRC);
    }
    for (const FakeSurface::Extent& timeout : surface.timeouts) {
        if (Touches(first, end, timeout.firstLba, timeout.sectors)) {
            ::SetLastError(ERROR_SEM_TIMEOUT);
            return FALSE;
        }
    }
    for (const FakeSurface::Extent& unreadable : surface.unreadable) {
        if (Touches(first, end, unreadable.firstLba, unreadable.sectors)) {
            drive.gone = ++drive.failedReads == surface.goneAfterFailedReads;
            ::SetLastError(ERROR_CRC);
            return FALSE;
        }
    }
    FillContents(drive, buffer, offset, bytesToRead);
    if (bytesRead != nullptr) {
        *bytesRead = bytesToRead;
    }
    if (overlapped == nullptr) {
        open.position = offset + bytesToRead;
    }
    if (call != nullptr) {
        call->succeeded = true;
    }
    return TRUE;
}

} // namespace

BOOL Kernel::ReadFile(HANDLE file, LPVOID buffer, DWORD bytesToRead, LPDWORD bytesRead, LPOVERLAPPED overlapped)
{
    Guard guard = Lock();
    const auto known = S().handles.find(file);
    if (known != S().handles.end() && !known->second.closed && !known->second.thread) {
        FakeDrive& drive = S().drives[known->second.drive];
        if (drive.surface) {
            if ((known->second.access & GENERIC_WRITE) != 0) {
                ADD_FAILURE() << "read on a read-write handle";
            }
            KernelCall* call = nullptr;
            if (drive.surface->logReads) {
                call = &Log(KernelCall::Kind::Read);
                call->handle = file;
                call->address = buffer;
                call->bytesToRead = bytesToRead;
                call->overlappedNull = overlapped == nullptr;
            }
            return SurfaceRead(guard, drive, known->second, buffer, bytesToRead, bytesRead, overlapped, call);
        }
    }
    KernelCall& call = Log(KernelCall::Kind::Read);
    call.handle = file;
    call.address = buffer;
    call.bytesToRead = bytesToRead;
    call.overlappedNull = overlapped == nullptr;
    OpenHandle* open = Find(file);
    if (open == nullptr) {
        return FALSE;
    }
    if ((open->access & GENERIC_WRITE) != 0) {
        ADD_FAILURE() << "read on a read-write handle";
    }
    // Unbuffered reads go straight to the device: Windows refuses a buffer or a length that
    // is not a multiple of the sector size (4096 covers 512-byte and 4Kn drives alike).
    constexpr std::uintptr_t kSector = 4096;
    if ((open->flags & FILE_FLAG_NO_BUFFERING) != 0 &&
        (reinterpret_cast<std::uintptr_t>(buffer) % kSector != 0 || bytesToRead % kSector != 0)) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const FakeDrive& drive = S().drives[open->drive];
    if (overlapped != nullptr) {
        call.offset = (std::uint64_t{overlapped->OffsetHigh} << 32) | overlapped->Offset;
    }
    const std::size_t callIndex = S().calls.size() - 1;
    const FakeRead step = open->readsDone < drive.reads.size() ? drive.reads[open->readsDone] : drive.laterReads;
    ++open->readsDone;
    // The caller is looked at, and kept waiting, with the fake free for its other threads.
    guard.unlock();
    if (step.during) {
        step.during();
    }
    if (step.realMilliseconds > 0) {
        ::Sleep(step.realMilliseconds);
    }
    guard.lock();
    S().clock += step.ticks;
    if (step.fails) {
        ::SetLastError(step.error);
        return FALSE;
    }
    if (overlapped != nullptr) {
        FillContents(drive, buffer, S().calls[callIndex].offset, bytesToRead);
    }
    if (bytesRead != nullptr) {
        *bytesRead = std::min(step.bytes, bytesToRead);
    }
    S().calls[callIndex].succeeded = true; // the log may have grown meanwhile
    return TRUE;
}

BOOL Kernel::CloseHandle(HANDLE object)
{
    const Guard guard = Lock();
    KernelCall& call = Log(KernelCall::Kind::Close);
    call.handle = object;
    OpenHandle* open = Find(object);
    if (open == nullptr) {
        return FALSE;
    }
    if (open->mutex && S().jmicron.held) {
        ADD_FAILURE() << "the JMicron mutex closed while held";
    }
    open->closed = true;
    call.succeeded = open->thread ? ::CloseHandle(object) != FALSE : true;
    return call.succeeded ? TRUE : FALSE;
}

LPVOID Kernel::VirtualAlloc(LPVOID address, SIZE_T size, DWORD allocationType, DWORD protect)
{
    const Guard guard = Lock();
    KernelCall& call = Log(KernelCall::Kind::Alloc);
    call.size = size;
    call.type = allocationType;
    call.protect = protect;
    if (S().failAllocations) {
        ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    void* memory = ::VirtualAlloc(address, size, allocationType, protect);
    call.address = memory;
    call.succeeded = memory != nullptr;
    if (memory != nullptr) {
        S().allocations.insert(memory);
    }
    return memory;
}

BOOL Kernel::VirtualFree(LPVOID address, SIZE_T size, DWORD freeType)
{
    const Guard guard = Lock();
    KernelCall& call = Log(KernelCall::Kind::Free);
    call.address = address;
    call.size = size;
    call.type = freeType;
    if (S().allocations.erase(address) == 0) {
        ADD_FAILURE() << "free of memory that is not allocated: " << address;
        return FALSE;
    }
    call.succeeded = ::VirtualFree(address, size, freeType) != FALSE;
    return call.succeeded ? TRUE : FALSE;
}

int Kernel::MultiByteToWideChar(UINT codePage, DWORD flags, LPCCH multiByteStr, int multiByte,
                                LPWSTR wideCharStr, int wideChar)
{
    const Guard guard = Lock();
    KernelCall& call = Log(KernelCall::Kind::Convert);
    call.codePage = codePage;
    call.convertFlags = flags;
    call.inputLength = multiByte;
    const int result = ::MultiByteToWideChar(codePage, flags, multiByteStr, multiByte, wideCharStr, wideChar);
    call.succeeded = result > 0;
    return result;
}

BOOL Kernel::QueryPerformanceCounter(LARGE_INTEGER* count)
{
    const Guard guard = Lock();
    // Readings with nothing logged between them are one entry: a scan of a whole drive reads
    // the counter millions of times around reads that are not logged.
    if (S().calls.empty() || S().calls.back().kind != KernelCall::Kind::Counter) {
        Log(KernelCall::Kind::Counter).succeeded = true;
    }
    count->QuadPart = S().clock;
    return TRUE;
}

BOOL Kernel::QueryPerformanceFrequency(LARGE_INTEGER* frequency)
{
    const Guard guard = Lock();
    Log(KernelCall::Kind::Frequency).succeeded = true;
    frequency->QuadPart = S().frequency;
    return TRUE;
}

HDEVINFO Kernel::SetupDiGetClassDevsW(const GUID* classGuid, PCWSTR enumerator, HWND parent, DWORD flags)
{
    const Guard guard = Lock();
    Log(KernelCall::Kind::Tree).path = L"SetupDiGetClassDevsW";
    EXPECT_TRUE(classGuid != nullptr && IsEqualGUID(*classGuid, GUID_DEVINTERFACE_DISK));
    EXPECT_TRUE(enumerator == nullptr && parent == nullptr);
    EXPECT_EQ(flags, DWORD{DIGCF_PRESENT | DIGCF_DEVICEINTERFACE});
    ++S().openInfoLists;
    S().calls.back().succeeded = true;
    return kInfoList;
}

BOOL Kernel::SetupDiEnumDeviceInterfaces(HDEVINFO deviceInfoSet, PSP_DEVINFO_DATA deviceInfoData,
                                         const GUID* interfaceClassGuid, DWORD memberIndex,
                                         PSP_DEVICE_INTERFACE_DATA deviceInterfaceData)
{
    const Guard guard = Lock();
    KernelCall& call = Log(KernelCall::Kind::Tree);
    call.path = L"SetupDiEnumDeviceInterfaces";
    EXPECT_EQ(deviceInfoSet, kInfoList);
    EXPECT_TRUE(deviceInfoData == nullptr && interfaceClassGuid != nullptr &&
                IsEqualGUID(*interfaceClassGuid, GUID_DEVINTERFACE_DISK));
    EXPECT_EQ(deviceInterfaceData->cbSize, DWORD{sizeof(SP_DEVICE_INTERFACE_DATA)});
    if (memberIndex >= S().drives.size()) {
        ::SetLastError(ERROR_NO_MORE_ITEMS);
        return FALSE;
    }
    deviceInterfaceData->Reserved = static_cast<ULONG_PTR>(std::next(S().drives.begin(), memberIndex)->first);
    call.succeeded = true;
    return TRUE;
}

BOOL Kernel::SetupDiGetDeviceInterfaceDetailW(HDEVINFO deviceInfoSet, PSP_DEVICE_INTERFACE_DATA deviceInterfaceData,
                                              PSP_DEVICE_INTERFACE_DETAIL_DATA_W deviceInterfaceDetailData,
                                              DWORD deviceInterfaceDetailDataSize, PDWORD requiredSize,
                                              PSP_DEVINFO_DATA deviceInfoData)
{
    const Guard guard = Lock();
    KernelCall& call = Log(KernelCall::Kind::Tree);
    call.path = L"SetupDiGetDeviceInterfaceDetailW";
    EXPECT_EQ(deviceInfoSet, kInfoList);
    const int drive = static_cast<int>(deviceInterfaceData->Reserved);
    const std::wstring path = InterfacePath(drive);
    const DWORD needed =
        static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) + (path.size() + 1) * sizeof(wchar_t));
    if (requiredSize != nullptr) {
        *requiredSize = needed;
    }
    if (deviceInterfaceDetailData == nullptr || deviceInterfaceDetailDataSize < needed) {
        ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    EXPECT_EQ(deviceInterfaceDetailData->cbSize, DWORD{sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)});
    std::copy(path.c_str(), path.c_str() + path.size() + 1, deviceInterfaceDetailData->DevicePath);
    if (deviceInfoData != nullptr) {
        EXPECT_EQ(deviceInfoData->cbSize, DWORD{sizeof(SP_DEVINFO_DATA)});
        deviceInfoData->DevInst = NodeOf(drive, 0);
    }
    call.succeeded = true;
    return TRUE;
}

BOOL Kernel::SetupDiDestroyDeviceInfoList(HDEVINFO deviceInfoSet)
{
    const Guard guard = Lock();
    Log(KernelCall::Kind::Tree).path = L"SetupDiDestroyDeviceInfoList";
    EXPECT_EQ(deviceInfoSet, kInfoList);
    EXPECT_GT(S().openInfoLists, 0);
    --S().openInfoLists;
    S().calls.back().succeeded = true;
    return TRUE;
}

CONFIGRET Kernel::CM_Get_Parent(PDEVINST parent, DEVINST child, ULONG flags)
{
    const Guard guard = Lock();
    KernelCall& call = Log(KernelCall::Kind::Tree);
    call.path = L"CM_Get_Parent";
    EXPECT_EQ(flags, 0u);
    std::size_t depth = 0;
    const std::vector<std::wstring>* parents = ParentsAbove(child, depth);
    if (parents == nullptr || depth >= parents->size()) {
        return CR_NO_SUCH_DEVNODE;
    }
    *parent = child + 1;
    call.succeeded = true;
    return CR_SUCCESS;
}

CONFIGRET Kernel::CM_Get_Device_IDW(DEVINST device, PWSTR buffer, ULONG bufferLength, ULONG flags)
{
    const Guard guard = Lock();
    KernelCall& call = Log(KernelCall::Kind::Tree);
    call.path = L"CM_Get_Device_IDW";
    EXPECT_EQ(flags, 0u);
    std::size_t depth = 0;
    const std::vector<std::wstring>* parents = ParentsAbove(device, depth);
    if (parents == nullptr || depth == 0 || depth > parents->size()) {
        return CR_NO_SUCH_DEVNODE;
    }
    const std::wstring& id = (*parents)[depth - 1];
    if (id.size() + 1 > bufferLength) {
        return CR_BUFFER_SMALL;
    }
    std::copy(id.c_str(), id.c_str() + id.size() + 1, buffer);
    call.succeeded = true;
    return CR_SUCCESS;
}

HANDLE Kernel::CreateMutexW(LPSECURITY_ATTRIBUTES mutexAttributes, BOOL initialOwner, LPCWSTR name)
{
    const Guard guard = Lock();
    KernelCall& call = Log(KernelCall::Kind::Mutex);
    call.path = L"CreateMutexW";
    EXPECT_TRUE(mutexAttributes == nullptr && initialOwner == FALSE);
    EXPECT_STREQ(name, L"Global\\Access_JMicron_SMART");
    const HANDLE handle = reinterpret_cast<HANDLE>(S().nextHandle);
    S().nextHandle += 4;
    OpenHandle mutex;
    mutex.mutex = true;
    S().handles[handle] = mutex;
    call.handle = handle;
    call.succeeded = true;
    return handle;
}

DWORD Kernel::WaitForSingleObject(HANDLE handle, DWORD milliseconds)
{
    Guard guard = Lock();
    // The scan's thread is real and needs the fake to end, so its wait is real and leaves the
    // fake free; it is not logged, since the window asks whether the scan runs many times a
    // second.
    const auto thread = S().handles.find(handle);
    if (thread != S().handles.end() && thread->second.thread && !thread->second.closed) {
        guard.unlock();
        return ::WaitForSingleObject(handle, milliseconds);
    }
    KernelCall& call = Log(KernelCall::Kind::Mutex);
    call.path = L"WaitForSingleObject";
    call.handle = handle;
    const OpenHandle* open = Find(handle);
    if (open == nullptr || !open->mutex || milliseconds == INFINITE || S().jmicron.held) {
        ADD_FAILURE() << "a wait other than a bounded one for the JMicron mutex, not held yet";
        return WAIT_FAILED;
    }
    S().jmicron = JMicronState{true, 0, 0};
    call.succeeded = true;
    return WAIT_OBJECT_0;
}

BOOL Kernel::ReleaseMutex(HANDLE mutex)
{
    const Guard guard = Lock();
    KernelCall& call = Log(KernelCall::Kind::Mutex);
    call.path = L"ReleaseMutex";
    call.handle = mutex;
    const OpenHandle* open = Find(mutex);
    if (open == nullptr || !open->mutex || !S().jmicron.held) {
        ADD_FAILURE() << "a release of a mutex that is not held";
        return FALSE;
    }
    S().jmicron.held = false;
    call.succeeded = true;
    return TRUE;
}

HANDLE Kernel::CreateThread(LPSECURITY_ATTRIBUTES securityAttributes, SIZE_T stackSize,
                            LPTHREAD_START_ROUTINE startAddress, LPVOID parameter, DWORD creationFlags,
                            LPDWORD threadId)
{
    const Guard guard = Lock();
    KernelCall& call = Log(KernelCall::Kind::Thread);
    const HANDLE thread =
        ::CreateThread(securityAttributes, stackSize, startAddress, parameter, creationFlags, threadId);
    call.handle = thread;
    call.succeeded = thread != nullptr;
    if (thread != nullptr) {
        OpenHandle handle;
        handle.thread = true;
        S().handles[thread] = handle;
    }
    return thread;
}

BOOL Kernel::CancelSynchronousIo(HANDLE thread)
{
    const Guard guard = Lock();
    KernelCall& call = Log(KernelCall::Kind::Cancel);
    call.handle = thread;
    const OpenHandle* open = Find(thread);
    if (open == nullptr || !open->thread) {
        ADD_FAILURE() << "a cancel of something other than a thread";
        ::SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    // A stuck read takes the cancel, as a disk driver retrying a sector does, and goes on.
    if (S().stuck) {
        call.succeeded = true;
        return TRUE;
    }
    if (!S().hanging) {
        ::SetLastError(ERROR_NOT_FOUND);
        return FALSE;
    }
    S().hanging = false;
    SetEvent(HangEnded());
    call.succeeded = true;
    return TRUE;
}

UINT Kernel::GetErrorMode()
{
    const Guard guard = Lock();
    KernelCall& call = Log(KernelCall::Kind::ErrorMode);
    call.function = "GetErrorMode";
    call.succeeded = true;
    return S().errorMode;
}

UINT Kernel::SetErrorMode(UINT mode)
{
    const Guard guard = Lock();
    KernelCall& call = Log(KernelCall::Kind::ErrorMode);
    call.function = "SetErrorMode";
    call.errorMode = mode;
    call.succeeded = true;
    return std::exchange(S().errorMode, mode);
}

// A search lists the volumes in order; its handle counts as open until FindVolumeClose.
HANDLE Kernel::FindFirstVolumeW(LPWSTR volumeName, DWORD bufferLength)
{
    const Guard guard = Lock();
    KernelCall& call = Log(KernelCall::Kind::Volume);
    call.function = "FindFirstVolumeW";
    if (S().volumes.empty()) {
        ::SetLastError(ERROR_NO_MORE_FILES);
        return INVALID_HANDLE_VALUE;
    }
    if (!CopyOut(S().volumes.front().name, volumeName, bufferLength)) {
        return INVALID_HANDLE_VALUE;
    }
    const HANDLE handle = reinterpret_cast<HANDLE>(S().nextHandle);
    S().nextHandle += 4;
    S().handles[handle] = OpenHandle{};
    S().volumeSearches[handle] = 1;
    call.handle = handle;
    call.succeeded = true;
    return handle;
}

BOOL Kernel::FindNextVolumeW(HANDLE findVolume, LPWSTR volumeName, DWORD bufferLength)
{
    const Guard guard = Lock();
    KernelCall& call = Log(KernelCall::Kind::Volume);
    call.function = "FindNextVolumeW";
    call.handle = findVolume;
    const auto search = S().volumeSearches.find(findVolume);
    if (search == S().volumeSearches.end() || Find(findVolume) == nullptr) {
        ADD_FAILURE() << "FindNextVolumeW on a handle that is no open search";
        ::SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (search->second >= S().volumes.size()) {
        ::SetLastError(ERROR_NO_MORE_FILES);
        return FALSE;
    }
    if (!CopyOut(S().volumes[search->second].name, volumeName, bufferLength)) {
        return FALSE;
    }
    ++search->second;
    call.succeeded = true;
    return TRUE;
}

BOOL Kernel::FindVolumeClose(HANDLE findVolume)
{
    const Guard guard = Lock();
    KernelCall& call = Log(KernelCall::Kind::Volume);
    call.function = "FindVolumeClose";
    call.handle = findVolume;
    OpenHandle* open = S().volumeSearches.count(findVolume) != 0 ? Find(findVolume) : nullptr;
    if (open == nullptr) {
        ADD_FAILURE() << "FindVolumeClose on a handle that is no open search";
        return FALSE;
    }
    open->closed = true;
    call.succeeded = true;
    return TRUE;
}

BOOL Kernel::GetVolumePathNamesForVolumeNameW(LPCWSTR volumeName, LPWCH volumePathNames, DWORD bufferLength,
                                              PDWORD returnLength)
{
    const Guard guard = Lock();
    const FakeVolume* volume = NamedVolume("GetVolumePathNamesForVolumeNameW", volumeName);
    if (volume == nullptr) {
        return FALSE;
    }
    std::wstring names;
    for (const std::wstring& path : volume->paths) {
        names += path + L'\0';
    }
    *returnLength = static_cast<DWORD>(names.size() + 1);
    if (CopyOut(names, volumePathNames, bufferLength)) {
        return TRUE;
    }
    S().calls.back().succeeded = false;
    return FALSE;
}
