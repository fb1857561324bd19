#include "DriveAnswers.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <set>

namespace {

using Bytes = DriveAnswers::Bytes;

void PutLe(Bytes& bytes, std::size_t offset, std::uint64_t value, std::size_t width)
{
    for (std::size_t i = 0; i < width; ++i) {
        bytes.at(offset + i) = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

std::uint64_t GetLe(const Bytes& bytes, std::size_t offset, std::size_t width)
{
    std::uint64_t value = 0;
    for (std::size_t i = width; i-- > 0;) {
        value = value << 8 | bytes.at(offset + i);
    }
    return value;
}

// A GUID's text, "{8-4-4-4-12}", as Windows keeps it: the first three fields little-endian.
void PutGuid(Bytes& bytes, std::size_t offset, std::string_view text)
{
    std::string hex;
    std::copy_if(text.begin(), text.end(), std::back_inserter(hex), [](char c) { return std::isxdigit(c) != 0; });
    const auto field = [&hex](std::size_t from, std::size_t digits) {
        return std::strtoull(hex.substr(from, digits).c_str(), nullptr, 16);
    };
    PutLe(bytes, offset, field(0, 8), 4);
    PutLe(bytes, offset + 4, field(8, 4), 2);
    PutLe(bytes, offset + 6, field(12, 4), 2);
    for (std::size_t i = 0; i < 8; ++i) {
        bytes.at(offset + 8 + i) = static_cast<std::uint8_t>(field(16 + 2 * i, 2));
    }
}

constexpr std::size_t kDescriptorFixedSize = 40; // sizeof(STORAGE_DEVICE_DESCRIPTOR)
constexpr std::size_t kSmartTableOffset = 2;
constexpr std::size_t kSmartEntrySize = 12;
constexpr std::size_t kSmartOutHeaderSize = 16; // cBufferSize, DriverStatus

std::optional<std::string> ReadWholeFile(const std::filesystem::path& path)
{
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        return std::nullopt;
    }
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

std::vector<std::string_view> Split(std::string_view text, char separator)
{
    std::vector<std::string_view> parts;
    for (std::size_t start = 0;;) {
        const std::size_t end = text.find(separator, start);
        parts.push_back(text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start));
        if (end == std::string_view::npos) {
            return parts;
        }
        start = end + 1;
    }
}

// The rows of a tab-separated file after its header. Each row must have the header's columns.
std::vector<std::vector<std::string_view>> ReadRows(const std::string& text, std::string_view header,
                                                    const std::string& file, std::vector<std::string>& problems)
{
    std::vector<std::vector<std::string_view>> rows;
    std::vector<std::string_view> lines = Split(text, '\n');
    if (!lines.empty() && lines.back().empty()) {
        lines.pop_back();
    }
    if (lines.empty() || lines.front() != header) {
        problems.push_back(file + ": the header is not \"" + std::string(header) + "\"");
        return rows;
    }
    const std::size_t columns = Split(header, '\t').size();
    for (std::size_t i = 1; i < lines.size(); ++i) {
        auto cells = Split(lines[i], '\t');
        if (cells.size() != columns) {
            problems.push_back(file + ": row " + std::to_string(i) + " (" + std::string(cells.front()) +
                               ") does not have " + std::to_string(columns) + " columns");
        } else {
            rows.push_back(std::move(cells));
        }
    }
    return rows;
}

// The same rows by the name in their first column; no name may come twice.
std::map<std::string, std::vector<std::string_view>> ReadTable(const std::string& text, std::string_view header,
                                                               const std::string& file,
                                                               std::vector<std::string>& problems)
{
    std::map<std::string, std::vector<std::string_view>> rows;
    for (auto& cells : ReadRows(text, header, file, problems)) {
        const std::string name(cells.front());
        if (!rows.emplace(name, std::move(cells)).second) {
            problems.push_back(file + ": " + name + " has two rows");
        }
    }
    return rows;
}

// A folder named by an environment variable, else `fallback`. Under Wine a Unix path is drive Z:.
std::filesystem::path DirFromEnvironment(const char* variable, const std::filesystem::path& fallback)
{
    const char* dir = std::getenv(variable);
    if (dir == nullptr || *dir == '\0') {
        return fallback;
    }
#ifdef _WIN32
    if (*dir == '/') {
        return std::filesystem::path(std::string("Z:") + dir);
    }
#endif
    return std::filesystem::path(dir);
}

std::vector<std::filesystem::path> PagesIn(const std::filesystem::path& dir)
{
    std::vector<std::filesystem::path> pages;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(dir, error)) {
        if (entry.path().extension() == ".bin") {
            pages.push_back(entry.path());
        }
    }
    std::sort(pages.begin(), pages.end());
    return pages;
}

template <class Int>
bool ParseInt(std::string_view text, Int& value)
{
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc{} && end == text.data() + text.size();
}

bool Unbracket(std::string_view text, std::string& value)
{
    if (text.size() < 2 || text.front() != '[' || text.back() != ']') {
        return false;
    }
    value.assign(text.substr(1, text.size() - 2));
    return true;
}

} // namespace

Bytes DriveAnswers::Capacity(std::int64_t sizeBytes)
{
    Bytes bytes(8);
    PutLe(bytes, 0, static_cast<std::uint64_t>(sizeBytes), 8);
    return bytes;
}

Bytes DriveAnswers::PredictFailure(std::uint32_t predictFailure)
{
    Bytes bytes(4 + 512);
    PutLe(bytes, 0, predictFailure, 4);
    return bytes;
}

Bytes DriveAnswers::SmartVersion()
{
    Bytes bytes(24);
    bytes[0] = 1;    // bVersion
    bytes[1] = 1;    // bRevision
    bytes[3] = 0x01; // bIDEDeviceMap: primary channel, master
    bytes[4] = 0x05; // fCapabilities: CAP_ATA_ID_CMD | CAP_SMART_CMD
    return bytes;
}

Bytes DriveAnswers::SmartData(std::span<const std::uint8_t> page)
{
    Bytes bytes(kSmartOutHeaderSize + SmartPage::kSize + 1);
    PutLe(bytes, 0, SmartPage::kSize, 4);
    std::copy_n(page.begin(), std::min(page.size(), SmartPage::kSize),
                bytes.begin() + static_cast<std::ptrdiff_t>(kSmartOutHeaderSize));
    return bytes;
}

namespace {

void KeepChecksum(Bytes& sector)
{
    std::uint8_t sum = 0;
    for (std::size_t i = 0; i + 1 < sector.size(); ++i) {
        sum = static_cast<std::uint8_t>(sum + sector[i]);
    }
    sector.back() = static_cast<std::uint8_t>(0x100 - sum);
}

} // namespace

Bytes DriveAnswers::AtaSelfTestLog(std::initializer_list<SelfTestEntry> entries)
{
    Bytes log(SmartPage::kSize, 0);
    log[0] = 1;
    std::size_t slot = 0;
    for (const SelfTestEntry& entry : entries) {
        const std::size_t at = 2 + 24 * (slot++ % 21);
        log[at] = entry.type;
        log[at + 1] = entry.status;
        PutLe(log, at + 2, entry.hours, 2);
        PutLe(log, at + 5, entry.lba, 4);
    }
    log[508] = static_cast<std::uint8_t>(slot == 0 ? 0 : (slot - 1) % 21 + 1);
    KeepChecksum(log);
    return log;
}

Bytes DriveAnswers::AtaErrorLog(std::uint16_t count, std::initializer_list<ErrorEntry> entries)
{
    Bytes log(SmartPage::kSize, 0);
    log[0] = 1;
    std::size_t slot = 0;
    for (const ErrorEntry& entry : entries) {
        const std::size_t at = 2 + 90 * (slot++ % 5);
        // The failing command in the fifth command structure, the error structure after it.
        log[at + 48 + 3] = static_cast<std::uint8_t>(entry.lba);
        log[at + 48 + 6] = static_cast<std::uint8_t>(0xE0 | (entry.lba >> 24 & 0x0F));
        log[at + 48 + 7] = entry.command;
        log[at + 60 + 1] = entry.error;
        PutLe(log, at + 60 + 3, entry.lba & 0xFFFFFF, 3);
        log[at + 60 + 6] = static_cast<std::uint8_t>(0xE0 | (entry.lba >> 24 & 0x0F));
        log[at + 60 + 7] = 0x51;
        log[at + 60 + 27] = 0x03;
        PutLe(log, at + 60 + 28, entry.hours, 2);
    }
    log[1] = static_cast<std::uint8_t>(slot == 0 ? 0 : (slot - 1) % 5 + 1);
    PutLe(log, 452, count, 2);
    KeepChecksum(log);
    return log;
}

// ACS's extended logs: version 1, a 16-bit index of the newest at 2, the entries from 4.
Bytes DriveAnswers::AtaExtSelfTestLog(std::initializer_list<SelfTestEntry> entries)
{
    Bytes log(SmartPage::kSize, 0);
    log[0] = 1;
    std::size_t slot = 0;
    for (const SelfTestEntry& entry : entries) {
        const std::size_t at = 4 + 26 * (slot++ % 19);
        log[at] = entry.type;
        log[at + 1] = entry.status;
        PutLe(log, at + 2, entry.hours, 2);
        PutLe(log, at + 5, entry.lba == 0xFFFFFFFF ? 0xFFFF'FFFF'FFFF : entry.lba, 6);
    }
    PutLe(log, 2, slot == 0 ? 0 : (slot - 1) % 19 + 1, 2);
    KeepChecksum(log);
    return log;
}

Bytes DriveAnswers::AtaExtErrorLog(std::uint16_t count, std::initializer_list<ErrorEntry> entries)
{
    Bytes log(SmartPage::kSize, 0);
    log[0] = 1;
    std::size_t slot = 0;
    for (const ErrorEntry& entry : entries) {
        const std::size_t at = 4 + 124 * (slot++ % 4);
        const auto lbaByte = [&entry](unsigned byte) { return static_cast<std::uint8_t>(entry.lba >> (8 * byte)); };
        // The failing command in the fifth 18-byte command structure, the 34-byte error structure
        // after it; LBA registers low, low (exp), mid, mid (exp), high, high (exp).
        const std::size_t command = at + 4 * 18;
        const std::size_t error = at + 5 * 18;
        for (const std::size_t structure : {command, error}) {
            const std::uint8_t registers[] = {lbaByte(0), lbaByte(3), lbaByte(1), lbaByte(4), lbaByte(2), lbaByte(5)};
            std::copy(std::begin(registers), std::end(registers), log.begin() + static_cast<std::ptrdiff_t>(structure + 4 + (structure == command)));
        }
        log[command + 11] = 0x40;
        log[command + 12] = entry.command;
        log[error + 1] = entry.error;
        log[error + 10] = 0x40;
        log[error + 11] = 0x51;
        log[error + 31] = 0x03;
        PutLe(log, error + 32, entry.hours, 2);
    }
    PutLe(log, 2, slot == 0 ? 0 : (slot - 1) % 4 + 1, 2);
    PutLe(log, 500, count, 2);
    KeepChecksum(log);
    return log;
}

Bytes DriveAnswers::DeviceStatistics(std::initializer_list<Statistic> statistics)
{
    std::set<std::uint8_t> pages{0};
    for (const Statistic& statistic : statistics) {
        pages.insert(statistic.page);
    }
    Bytes log((std::size_t{*pages.rbegin()} + 1) * SmartPage::kSize, 0);
    for (const std::uint8_t page : pages) {
        log[page * SmartPage::kSize] = 1; // revision
        log[page * SmartPage::kSize + 2] = page;
    }
    log[8] = static_cast<std::uint8_t>(pages.size());
    std::copy(pages.begin(), pages.end(), log.begin() + 9);
    for (const Statistic& statistic : statistics) {
        PutLe(log, statistic.page * SmartPage::kSize + statistic.offset, statistic.value | std::uint64_t{0xC0} << 56, 8);
    }
    return log;
}

Bytes DriveAnswers::NvmeSelfTestLog(std::initializer_list<NvmeSelfTest> results)
{
    Bytes log(564, 0);
    for (std::size_t slot = 0; slot < 20; ++slot) {
        log[4 + 28 * slot] = 0x0F;
    }
    std::size_t slot = 0;
    for (const NvmeSelfTest& result : results) {
        const std::size_t at = 4 + 28 * slot++;
        log[at] = static_cast<std::uint8_t>(result.code << 4 | result.result);
        log[at + 2] = result.lba ? 0x03 : 0x01; // the namespace, and the LBA where there is one
        PutLe(log, at + 4, result.hours, 8);
        PutLe(log, at + 12, 1, 4);
        PutLe(log, at + 16, result.lba.value_or(0), 8);
    }
    return log;
}

std::optional<Bytes> DriveAnswers::SmartLog(const Bytes& log, std::size_t sectors)
{
    if (log.size() < sectors * SmartPage::kSize) {
        return std::nullopt;
    }
    Bytes bytes(kSmartOutHeaderSize, 0);
    PutLe(bytes, 0, sectors * SmartPage::kSize, 4);
    bytes.insert(bytes.end(), log.begin(), log.begin() + static_cast<std::ptrdiff_t>(sectors * SmartPage::kSize));
    return bytes;
}

Bytes DriveAnswers::NvmeLogAnswer(std::span<const std::uint8_t> log, std::uint32_t offset, std::uint32_t length)
{
    constexpr std::size_t kDescriptorSize = 8 + 40; // Version, Size, STORAGE_PROTOCOL_SPECIFIC_DATA
    Bytes bytes(kDescriptorSize);
    PutLe(bytes, 0, kDescriptorSize, 4);
    PutLe(bytes, 4, kDescriptorSize, 4);
    PutLe(bytes, 8, 3, 4);     // ProtocolTypeNvme
    PutLe(bytes, 12, 2, 4);    // NVMeDataTypeLogPage
    PutLe(bytes, 16, 0x02, 4); // SMART / Health Information
    PutLe(bytes, 24, offset, 4);
    PutLe(bytes, 28, length, 4);
    bytes.insert(bytes.end(), log.begin(), log.end());
    return bytes;
}

DriveAnswers::Descriptor::Descriptor() : m_bytes(kSize), m_next(kDescriptorFixedSize)
{
    PutLe(m_bytes, 0, kDescriptorFixedSize, 4); // Version
    PutLe(m_bytes, 4, m_next, 4);               // Size
    BusType(kBusTypeSata);
}

DriveAnswers::Descriptor& DriveAnswers::Descriptor::Offset(std::size_t field, std::uint32_t value)
{
    PutLe(m_bytes, field, value, 4);
    return *this;
}

DriveAnswers::Descriptor& DriveAnswers::Descriptor::At(std::size_t offset, std::string_view bytes)
{
    if (offset < kSize) {
        std::copy_n(bytes.begin(), std::min(bytes.size(), kSize - offset),
                    m_bytes.begin() + static_cast<std::ptrdiff_t>(offset));
    }
    return *this;
}

DriveAnswers::Descriptor& DriveAnswers::Descriptor::Append(std::size_t field, std::string_view text)
{
    Offset(field, static_cast<std::uint32_t>(m_next));
    At(m_next, text);
    m_next = std::min(m_next + text.size() + 1, kSize);
    PutLe(m_bytes, 4, m_next, 4);
    return *this;
}

DriveAnswers::SmartPage& DriveAnswers::SmartPage::Attribute(std::size_t slot, std::uint8_t id, std::uint64_t raw)
{
    const auto entry = std::span(m_page).subspan(kSmartTableOffset + slot * kSmartEntrySize, kSmartEntrySize);
    entry[0] = id;
    entry[1] = 0x32; // flags: an ordinary, non-prefailure attribute
    entry[3] = 100;  // current
    entry[4] = 100;  // worst
    for (std::size_t i = 0; i < 6; ++i) {
        entry[5 + i] = static_cast<std::uint8_t>(raw >> (8 * i));
    }
    return *this;
}

DriveAnswers::SmartPage& DriveAnswers::SmartPage::Normalised(std::size_t slot, std::uint8_t current,
                                                            std::uint8_t worst)
{
    m_page.at(kSmartTableOffset + slot * kSmartEntrySize + 3) = current;
    m_page.at(kSmartTableOffset + slot * kSmartEntrySize + 4) = worst;
    return *this;
}

DriveAnswers::SmartPage& DriveAnswers::SmartPage::Threshold(std::size_t slot, std::uint8_t id, std::uint8_t threshold)
{
    m_page.at(kSmartTableOffset + slot * kSmartEntrySize) = id;
    m_page.at(kSmartTableOffset + slot * kSmartEntrySize + 1) = threshold;
    return *this;
}

Bytes DriveAnswers::SmartPage::Build() const
{
    Bytes page(m_page.begin(), m_page.end());
    page[0] = 0x10; // data structure revision
    std::uint8_t sum = 0;
    for (std::size_t i = 0; i + 1 < kSize; ++i) {
        sum = static_cast<std::uint8_t>(sum + page[i]);
    }
    page[kSize - 1] = static_cast<std::uint8_t>(0x100 - sum);
    return page;
}

DriveAnswers::UsbBridge::UsbBridge() = default;

std::optional<Bytes> DriveAnswers::UsbBridge::Answer(const Bytes& request) const
{
    if (fails || request.size() < kSize) {
        return std::nullopt;
    }
    const bool sixteen = request[kCdbLengthField] == 16;
    const std::uint8_t features = request[kCdbField + (sixteen ? 4 : 3)];
    const std::uint8_t command = request[kCdbField + (sixteen ? 14 : 9)];
    const std::optional<Bytes>& data = sixteen ? page16 : page12;
    std::optional<Bytes> page = !data ? data : command == 0xEC ? identify : features == 0xD1 ? thresholds : data;
    std::size_t length = SmartPage::kSize;
    std::uint32_t returned = transferred;
    if (features == 0xD5) {
        // A log by the length that answers READ DATA, as many sectors as asked when it has them.
        const std::size_t sectors = request[kCdbField + (sixteen ? 6 : 4)];
        const auto log = logs.find(request[kCdbField + (sixteen ? 8 : 5)]);
        length = sectors * SmartPage::kSize;
        page = data && log != logs.end() ? SmartLog(log->second, sectors) : std::nullopt;
        if (page) {
            page->erase(page->begin(), page->begin() + kSmartOutHeaderSize);
        }
        returned = static_cast<std::uint32_t>(length);
    } else if (command == 0x2F) {
        // READ LOG EXT: the first page of the log at the address in LBA low.
        const auto log = logs.find(request[kCdbField + (sixteen ? 8 : 5)]);
        page = data && log != logs.end() ? std::optional<Bytes>(Bytes(log->second.begin(), log->second.begin() + SmartPage::kSize))
                                         : std::nullopt;
    }
    const auto dataOffset = static_cast<std::size_t>(GetLe(request, kDataBufferOffsetField, 8));
    Bytes answer(request);
    answer.resize(std::max(answer.size(), dataOffset + length));
    answer[kScsiStatusField] = page ? scsiStatus : kCheckCondition;
    PutLe(answer, kDataTransferLengthField, page ? returned : 0, 4);
    if (page) {
        std::copy_n(page->begin(), std::min(page->size(), length), answer.begin() + static_cast<std::ptrdiff_t>(dataOffset));
    }
    return answer;
}

DriveAnswers::NvmeEnclosure::NvmeEnclosure() = default;

Bytes DriveAnswers::RstNvmeRequest(std::uint8_t opcode, std::uint32_t nsid, std::uint32_t cdw10, std::uint32_t length,
                                   std::uint8_t path, std::uint8_t target, std::uint8_t lun)
{
    Bytes request(4260, 0);
    std::copy_n("IntelNvm", 8, request.begin() + 4);
    for (const auto& [at, value] : {std::pair{0, 28u}, {12, 10u}, {16, 0xF0002808u}, {24, 4232u}, {36, nsid},
                                    {72, cdw10}, {116, 164u}, {120, length}}) {
        PutLe(request, static_cast<std::size_t>(at), value, 4);
    }
    request[28] = 1;
    request[29] = path;
    request[30] = target;
    request[31] = lun;
    request[32] = opcode;
    return request;
}

std::optional<Bytes> DriveAnswers::RstNvmeDrive::Answer(const Bytes& request) const
{
    if (fails || request.size() != 4260) {
        return std::nullopt;
    }
    const std::uint8_t logId = request[72];
    const std::optional<Bytes>& data = request[32] == 0x06 ? identify : logId == 0x02 ? log : logId == 0x06 ? selfTests : errors;
    const bool here = request[29] == path && request[30] == target && request[31] == lun;
    Bytes answer(request);
    PutLe(answer, 20, here && data ? status : 6, 4);
    if (here && data) {
        std::copy_n(data->begin(), std::min<std::size_t>(data->size(), GetLe(request, 120, 4)), answer.begin() + 164);
    }
    return answer;
}

std::optional<Bytes> DriveAnswers::NvmeEnclosure::Answer(const Bytes& request, std::uint8_t& jmicronAsked) const
{
    using Family = NvmeBridge::Family;
    if (request.size() < UsbBridge::kSize) {
        return std::nullopt;
    }
    const auto cdb = std::span(request).subspan(UsbBridge::kCdbField, 16);
    const auto length = static_cast<std::size_t>(GetLe(request, UsbBridge::kDataTransferLengthField, 4));
    const auto dataOffset = static_cast<std::size_t>(GetLe(request, UsbBridge::kDataBufferOffsetField, 8));
    std::optional<Bytes> data;
    bool answerStep = true;
    if (family == Family::Realtek && cdb[0] == 0xE4) {
        data = cdb[3] == 0x02 ? log : identify;
    } else if (family == Family::ASMedia && cdb[0] == 0xE6) {
        data = cdb[1] == 0x02 ? log : identify;
    } else if (family == Family::JMicron && cdb[0] == 0xA1 && (cdb[1] & 0x80) != 0) {
        answerStep = cdb[1] == 0x82;
        if (cdb[1] == 0x80) {
            const bool getLog = dataOffset + 48 < request.size() && request[dataOffset + 8] == 0x02;
            jmicronAsked = getLog ? request[dataOffset + 48] : 0;
            data = Bytes{};
        } else if (answerStep) {
            data = jmicronAsked == 0x02 ? log : jmicronAsked == 0x06 ? selfTests : identify;
        } else {
            data = Bytes(512, 0);
            if (replySignature) {
                std::copy_n("NVME", 4, data->begin());
            }
        }
    }
    Bytes answer(request);
    answer.resize(std::max(answer.size(), dataOffset + length));
    answer[UsbBridge::kScsiStatusField] = !data ? UsbBridge::kCheckCondition : answerStep ? scsiStatus : 0;
    const std::size_t whole = data ? length : 0;
    PutLe(answer, UsbBridge::kDataTransferLengthField, answerStep && data && transferred ? *transferred : whole, 4);
    if (data) {
        std::copy_n(data->begin(), std::min(data->size(), length), answer.begin() + static_cast<std::ptrdiff_t>(dataOffset));
    }
    return answer;
}

Bytes DriveAnswers::IdentifyController(std::string_view model, std::string_view serial, std::string_view firmware)
{
    Bytes bytes(4096, 0);
    const auto put = [&bytes](std::size_t from, std::size_t size, std::string_view text) {
        std::fill_n(bytes.begin() + static_cast<std::ptrdiff_t>(from), size, std::uint8_t{' '});
        std::copy_n(text.begin(), std::min(size, text.size()), bytes.begin() + static_cast<std::ptrdiff_t>(from));
    };
    put(4, 20, serial);
    put(24, 40, model);
    put(64, 8, firmware);
    return bytes;
}

Bytes DriveAnswers::IdentifyDevice(std::string_view model, std::string_view serial, std::string_view firmware,
                                   bool gpl, std::uint32_t logicalSector, std::uint64_t sectors)
{
    Bytes bytes(SmartPage::kSize, 0);
    if (gpl) {
        PutLe(bytes, 84 * 2, 0x4020, 2);
    }
    if (sectors != 0) {
        PutLe(bytes, 83 * 2, 0x4400, 2); // the word valid, the 48-bit feature set
        PutLe(bytes, 100 * 2, sectors, 8);
    }
    if (logicalSector != 512) {
        PutLe(bytes, 106 * 2, 0x5000, 2);
        PutLe(bytes, 117 * 2, logicalSector / 2, 4);
    }
    const auto put = [&bytes](std::size_t from, std::size_t size, std::string_view text) {
        for (std::size_t i = 0; i < size; ++i) {
            bytes[from + (i ^ 1)] = static_cast<std::uint8_t>(i < text.size() ? text[i] : ' ');
        }
    };
    put(20, 20, serial);
    put(46, 8, firmware);
    put(54, 40, model);
    bytes[510] = 0xA5;
    unsigned sum = 0;
    for (std::size_t i = 0; i < 511; ++i) {
        sum += bytes[i];
    }
    bytes[511] = static_cast<std::uint8_t>(0x100 - sum % 0x100);
    return bytes;
}

Bytes DriveAnswers::FileSystemStart(std::string_view fileSystem)
{
    Bytes bytes(4096, 0);
    const auto text = [&bytes](std::size_t at, std::string_view value) {
        std::copy(value.begin(), value.end(), bytes.begin() + static_cast<std::ptrdiff_t>(at));
    };
    using namespace std::string_view_literals;
    if (fileSystem == "NTFS" || fileSystem == "exFAT" || fileSystem == "ReFS" || fileSystem == "BitLocker") {
        text(0, "\xEB\x52\x90"sv);
        text(3, fileSystem == "NTFS" ? "NTFS    "sv : fileSystem == "exFAT" ? "EXFAT   "sv
                                                   : fileSystem == "ReFS"  ? "ReFS\0\0\0\0"sv : "-FVE-FS-"sv);
        text(510, "\x55\xAA"sv);
    } else if (fileSystem == "FAT32") {
        text(0, "\xEB\x58\x90MSDOS5.0"sv);
        PutLe(bytes, 11, 512, 2);    // bytes per sector
        bytes[13] = 1;               // sectors per cluster
        PutLe(bytes, 14, 32, 2);     // reserved sectors
        bytes[16] = 2;               // FATs
        PutLe(bytes, 32, 204800, 4); // sectors
        PutLe(bytes, 36, 1600, 4);   // sectors per FAT
        text(82, "FAT32   "sv);
        text(510, "\x55\xAA"sv);
    } else if (fileSystem == "ext4") {
        PutLe(bytes, 1080, 0xEF53, 2);
        PutLe(bytes, 1116, 0x3C, 4); // journal, extended attributes, resize inode, directory index
        PutLe(bytes, 1120, 0x2C2, 4); // file type, extents, 64-bit, flexible block groups
    } else if (fileSystem == "LUKS") {
        text(0, "LUKS\xBA\xBE\0\x02"sv);
    }
    return bytes;
}

DriveAnswers::Miniport::Miniport() = default;

// The offsets of CSMI's published structures (packed to 8): SRB_IO_CONTROL's signature at
// 4, ControlCode at 16, ReturnCode at 20; CSMI_SAS_DRIVER_INFO's szName at 28; CSMI_SAS_PHY_INFO's
// count at 28 and its 64-byte entries from 32 (Identify.bPhyIdentifier at 20, bPortIdentifier at
// 28, Attached at 36: bDeviceType, bTargetPortProtocol at +3, bSASAddress at +12); STP_PASSTHRU's
// bPhyIdentifier at 28, the command FIS at 44, Status at 72 (its FIS at 76, uDataBytes at 160),
// bDataBuffer at 164.
std::optional<Bytes> DriveAnswers::Miniport::Answer(const Bytes& request) const
{
    if (request.size() < 28) {
        return std::nullopt;
    }
    if (std::equal(request.begin() + 4, request.begin() + 12, "IntelNvm")) {
        return nvme.Answer(request);
    }
    Bytes answer(request);
    const auto code = GetLe(request, 16, 4);
    if (code == 1) {
        if (driver.empty() || answer.size() < 28 + 81) {
            return std::nullopt;
        }
        std::copy(driver.begin(), driver.end(), answer.begin() + 28);
        return answer;
    }
    if (code == 20 && answer.size() >= 32 + 32 * 64) {
        answer[28] = static_cast<std::uint8_t>(devices.size() + 1);
        for (std::size_t phy = 0; phy < devices.size(); ++phy) {
            const std::size_t at = 32 + phy * 64;
            answer[at + 20] = static_cast<std::uint8_t>(phy);
            answer[at + 28] = static_cast<std::uint8_t>(phy);
            answer[at + 36] = 0x10; // CSMI_SAS_END_DEVICE
            answer[at + 39] = 0x01; // CSMI_SAS_PROTOCOL_SATA
            answer[at + 48] = static_cast<std::uint8_t>(phy + 1);
            answer[at + 49] = 0x50;
        }
        return answer;
    }
    if (code != 25 || answer.size() < 164 || request[28] >= devices.size()) {
        return std::nullopt;
    }
    const Device& device = devices[request[28]];
    const std::uint8_t command = request[46];
    const std::uint8_t features = request[47];
    const std::uint8_t count = request[56];
    std::optional<Bytes> data = command == 0xEC ? std::optional<Bytes>(device.identify)
                                : features == 0xD0 ? device.smartPage
                                : features == 0xD1 ? device.thresholds
                                                   : std::nullopt;
    if (features == 0xD5) {
        const auto log = device.logs.find(request[48]);
        data = log == device.logs.end() ? std::nullopt : SmartLog(log->second, count);
        if (data) {
            data->erase(data->begin(), data->begin() + kSmartOutHeaderSize);
        }
    }
    answer[76] = 0x34; // a register device-to-host FIS
    if (!data || answer.size() < 164 + data->size()) {
        answer[78] = 0x51; // ready, error
        answer[79] = 0x04; // ABRT
        return answer;
    }
    answer[78] = 0x50; // ready, no error
    PutLe(answer, 160, data->size(), 4);
    std::copy(data->begin(), data->end(), answer.begin() + 164);
    return answer;
}

Bytes DriveAnswers::ScsiAddress(std::uint8_t port, std::uint8_t target)
{
    return {8, 0, 0, 0, port, 0, target, 0};
}

std::vector<std::pair<std::uint32_t, DriveAnswers::Answer>> DriveAnswers::Drive::Answers() const
{
    const auto fixed = [](Bytes bytes) -> Answer {
        return [bytes = std::move(bytes)](const Bytes&) { return std::optional<Bytes>(bytes); };
    };
    std::vector<std::pair<std::uint32_t, Answer>> answers;
    if (sizeBytes) {
        answers.emplace_back(kGetLengthInfo, fixed(Capacity(*sizeBytes)));
    }
    if (descriptor || nvmeLog) {
        const auto descriptorBytes = descriptor ? std::optional<Bytes>(descriptor->Build()) : std::nullopt;
        // By data type (1 Identify, 2 log page) and identifier (the CNS or the log).
        std::map<std::pair<std::uint8_t, std::uint8_t>, Bytes> nvme;
        const std::pair<std::pair<std::uint8_t, std::uint8_t>, const std::optional<Bytes>*> kinds[] = {
            {{2, 0x02}, &nvmeLog}, {{1, 0x01}, &nvmeIdentify}, {{2, 0x06}, &nvmeSelfTests}, {{2, 0x01}, &nvmeErrors}};
        for (const auto& [kind, bytes] : kinds) {
            if (*bytes) {
                nvme.emplace(kind, NvmeLogAnswer(**bytes, 40, static_cast<std::uint32_t>((*bytes)->size())));
            }
        }
        answers.emplace_back(kQueryProperty, [descriptorBytes, nvme](const Bytes& input) -> std::optional<Bytes> {
            // PropertyId StorageDeviceProperty and QueryType PropertyStandardQuery, both 0.
            const bool standard = input.size() >= 8 && std::all_of(input.begin(), input.begin() + 8,
                                                                    [](std::uint8_t b) { return b == 0; });
            if (standard) {
                return descriptorBytes;
            }
            // As Windows' inbox driver answers: Identify only on the adapter property, log pages
            // only on the device property.
            const bool protocol = input.size() >= 28 && std::all_of(input.begin() + 1, input.begin() + 8,
                                                                     [](std::uint8_t b) { return b == 0; });
            const bool answered = protocol && (input[12] == 1 ? input[0] == kAdapterProtocolSpecificProperty
                                                               : input[0] == kDeviceProtocolSpecificProperty);
            const auto it = answered ? nvme.find({input[12], input[16]}) : nvme.end();
            if (it == nvme.end()) {
                return std::nullopt;
            }
            // Windows gives no more than was asked for.
            Bytes answer = it->second;
            const auto asked = static_cast<std::size_t>(GetLe(input, 28, 4));
            if (answer.size() > 48 + asked) {
                answer.resize(48 + asked);
                PutLe(answer, 28, asked, 4);
            }
            return answer;
        });
    }
    if (scsiAddress) {
        answers.emplace_back(kScsiGetAddress, fixed(*scsiAddress));
    }
    if (predictFailure) {
        answers.emplace_back(kPredictFailure, fixed(PredictFailure(*predictFailure)));
    }
    if (smartVersion) {
        answers.emplace_back(kSmartGetVersion, fixed(SmartVersion()));
    }
    if (smartPage || smartThresholds) {
        // The features register (byte 4 of the command) chooses the page.
        const auto data = smartPage ? std::optional<Bytes>(SmartData(*smartPage)) : std::nullopt;
        const auto thresholds = smartThresholds ? std::optional<Bytes>(SmartData(*smartThresholds)) : std::nullopt;
        answers.emplace_back(kSmartRcvDriveData,
                             [data, thresholds, logs = smartLogs](const Bytes& input) -> std::optional<Bytes> {
                                 const std::uint8_t features = input.size() > 6 ? input[4] : 0;
                                 if (features == 0xD5) {
                                     const auto log = logs.find(input[6]);
                                     return log == logs.end() ? std::nullopt : SmartLog(log->second, input[5]);
                                 }
                                 return features == 0xD0 ? data : features == 0xD1 ? thresholds : std::nullopt;
                             });
    }
    if (ataIdentify) {
        // ATA_PASS_THROUGH_EX: DataBufferOffset at 24, the current task file at 40 (features,
        // count, LBA low ... command at 46); the page goes behind it.
        answers.emplace_back(kAtaPassThrough, [identify = *ataIdentify,
                                               logs = smartLogs](const Bytes& input) -> std::optional<Bytes> {
            if (input.size() < 48) {
                return std::nullopt;
            }
            const auto log = logs.find(input[42]);
            const Bytes* page = input[46] == 0xEC ? &identify : log != logs.end() ? &log->second : nullptr;
            if (page == nullptr) {
                // The drive aborts the command; the request itself goes through.
                Bytes aborted(input);
                aborted[40] = 0x04; // ABRT
                aborted[46] = 0x51; // ready, error
                return aborted;
            }
            const auto dataOffset = static_cast<std::size_t>(GetLe(input, 24, 8));
            Bytes answer(input);
            answer.resize(std::max(answer.size(), dataOffset + SmartPage::kSize));
            std::copy_n(page->begin(), SmartPage::kSize, answer.begin() + static_cast<std::ptrdiff_t>(dataOffset));
            answer[40] = 0x00; // the error register
            answer[46] = 0x50; // the status register: ready, no error
            return answer;
        });
    }
    if (bridge) {
        answers.emplace_back(kScsiPassThrough, [bridge = *bridge](const Bytes& input) { return bridge.Answer(input); });
    } else if (enclosure) {
        answers.emplace_back(kScsiPassThrough,
                             [enclosure = *enclosure, opcode = std::make_shared<std::uint8_t>(0)](const Bytes& input) {
                                 return enclosure.Answer(input, *opcode);
                             });
    }
    return answers;
}

DriveAnswers::Drive DriveAnswers::TypicalDrive(std::string_view model, std::string_view serial,
                                               std::string_view firmware, std::int64_t sizeBytes,
                                               std::int32_t temperature, std::int64_t powerOnHours,
                                               std::int64_t powerCycles)
{
    SmartPage page;
    page.Attribute(0, 1, 0); // raw read error rate, ignored by the inventory
    const std::pair<std::uint8_t, std::int64_t> values[] = {{9, powerOnHours}, {12, powerCycles}, {194, temperature}};
    std::size_t slot = 1;
    for (const auto& [id, value] : values) {
        if (value >= 0) {
            page.Attribute(slot++, id, static_cast<std::uint64_t>(value));
        }
    }
    Drive drive;
    drive.sizeBytes = sizeBytes;
    drive.descriptor = Descriptor().Model(model).Firmware(firmware).Serial(serial);
    drive.predictFailure = 0;
    drive.smartVersion = true;
    drive.smartPage = page.Build();
    return drive;
}

DriveAnswers::Drive DriveAnswers::InUsbDock(Drive drive, std::optional<Bytes> identify)
{
    if (!drive.descriptor) {
        drive.descriptor.emplace();
    }
    drive.descriptor->BusType(Descriptor::kBusTypeUsb);
    drive.bridge.emplace();
    drive.bridge->page16 = drive.smartPage;
    drive.bridge->thresholds = drive.smartThresholds;
    drive.bridge->logs = std::move(drive.smartLogs);
    drive.smartLogs.clear();
    drive.bridge->identify = identify ? std::move(identify) : std::move(drive.ataIdentify);
    drive.ataIdentify.reset();
    drive.smartVersion = false;
    drive.smartPage.reset();
    drive.smartThresholds.reset();
    return drive;
}

DriveAnswers::Drive DriveAnswers::InNvmeEnclosure(Drive drive, std::optional<NvmeBridge::Family> family,
                                                  std::wstring usbDeviceId, Bytes identify)
{
    if (!drive.descriptor) {
        drive.descriptor.emplace();
    }
    drive.descriptor->BusType(Descriptor::kBusTypeUsb);
    drive.enclosure.emplace();
    drive.enclosure->family = family;
    drive.enclosure->usbDeviceId = std::move(usbDeviceId);
    drive.enclosure->log = std::move(drive.nvmeLog);
    drive.enclosure->identify = std::move(identify);
    drive.enclosure->selfTests = std::move(drive.nvmeSelfTests);
    drive.nvmeLog.reset();
    drive.nvmeSelfTests.reset();
    return drive;
}

std::string DriveAnswers::Unpadded(std::string_view padded)
{
    std::string_view text = padded.substr(0, padded.find('\0'));
    while (!text.empty() && text.front() == ' ') {
        text.remove_prefix(1);
    }
    while (!text.empty() && text.back() == ' ') {
        text.remove_suffix(1);
    }
    return std::string(text);
}

std::filesystem::path DriveAnswers::SmartPagesDir(const std::filesystem::path& fallback)
{
    return DirFromEnvironment("SMART_PAGES_DIR", fallback);
}

std::filesystem::path DriveAnswers::NvmePagesDir(const std::filesystem::path& fallback)
{
    return DirFromEnvironment("NVME_PAGES_DIR", fallback);
}

std::filesystem::path DriveAnswers::LogPagesDir(const std::filesystem::path& fallback)
{
    return DirFromEnvironment("LOG_PAGES_DIR", fallback);
}

DriveAnswers::LogTable DriveAnswers::LoadLogTable(const std::filesystem::path& folder)
{
    LogTable table;
    const auto text = ReadWholeFile(folder / "expected.tsv");
    if (!text) {
        table.problems.push_back("no expected.tsv in " + folder.string());
        return table;
    }
    const std::string_view header = Split(*text, '\n').front();
    const auto columns = Split(header, '\t');
    std::map<std::string, int> rowsOf;
    for (const auto& cells : ReadRows(*text, header, "expected.tsv", table.problems)) {
        auto& row = table.rows.emplace_back();
        for (std::size_t i = 0; i < columns.size(); ++i) {
            row.emplace(columns[i], cells[i]);
        }
        ++rowsOf[row.at("file")];
    }
    for (const auto& path : PagesIn(folder)) {
        const std::string name = path.filename().string();
        if (rowsOf.erase(name) == 0) {
            table.problems.push_back(name + " has no rows in expected.tsv");
        }
        const std::string bytes = ReadWholeFile(path).value_or(std::string());
        table.files[name] = Bytes(bytes.begin(), bytes.end());
    }
    for (const auto& [name, count] : rowsOf) {
        table.problems.push_back(name + " has rows in expected.tsv but no file");
    }
    return table;
}

DriveAnswers::RealDrives DriveAnswers::LoadRealDrives(const std::filesystem::path& dir)
{
    RealDrives result;
    auto& problems = result.problems;
    const auto expectedText = ReadWholeFile(dir / "expected.tsv");
    const auto identityText = ReadWholeFile(dir / "identity.tsv");
    if (!expectedText || !identityText) {
        problems.push_back("no expected.tsv or identity.tsv in " + dir.string());
        return result;
    }
    auto expected = ReadTable(*expectedText, "name\ttemperature\tpower_on_hours\tpower_cycles", "expected.tsv", problems);
    auto identity = ReadTable(*identityText, "name\tmodel\tserial\tfirmware", "identity.tsv", problems);
    const auto attributesText = ReadWholeFile(dir / "attributes.tsv");
    std::map<std::string, std::vector<std::vector<std::string>>> attributes;
    if (!attributesText) {
        problems.push_back("no attributes.tsv in " + dir.string());
    } else {
        for (const auto& cells : ReadRows(*attributesText, "name\tid\tcurrent\tworst\tthreshold\traw\tstatus",
                                          "attributes.tsv", problems)) {
            attributes[std::string(cells.front())].emplace_back(cells.begin() + 1, cells.end());
        }
    }

    for (const auto& path : PagesIn(dir)) {
        RealDrive drive;
        drive.name = path.stem().string();
        const auto page = ReadWholeFile(path);
        const auto expectedRow = expected.find(drive.name);
        const auto identityRow = identity.find(drive.name);
        if (!page || page->size() != SmartPage::kSize) {
            problems.push_back(drive.name + ".bin is not a 512-byte page");
        } else if (expectedRow == expected.end() || identityRow == identity.end()) {
            problems.push_back(drive.name + ".bin has no row in " +
                               (expectedRow == expected.end() ? "expected.tsv" : "identity.tsv"));
        } else if (const auto& e = expectedRow->second; !ParseInt(e[1], drive.temperature) ||
                                                        !ParseInt(e[2], drive.powerOnHours) ||
                                                        !ParseInt(e[3], drive.powerCycles)) {
            problems.push_back("expected.tsv: the row of " + drive.name + " holds something not a number");
        } else if (const auto& i = identityRow->second;
                   !Unbracket(i[1], drive.model) || !Unbracket(i[2], drive.serial) || !Unbracket(i[3], drive.firmware)) {
            problems.push_back("identity.tsv: a string of " + drive.name + " is not inside [ ]");
        } else if (const auto thresholds = ReadWholeFile(dir / "thresholds" / path.filename());
                   !thresholds || thresholds->size() != SmartPage::kSize) {
            problems.push_back("thresholds/" + drive.name + ".bin is missing or not a 512-byte page");
        } else {
            drive.page.assign(page->begin(), page->end());
            drive.thresholds.assign(thresholds->begin(), thresholds->end());
            if (const auto rows = attributes.find(drive.name); rows != attributes.end()) {
                drive.attributes = std::move(rows->second);
                attributes.erase(rows);
            }
            result.drives.push_back(std::move(drive));
        }
        if (expectedRow != expected.end()) {
            expected.erase(expectedRow);
        }
        if (identityRow != identity.end()) {
            identity.erase(identityRow);
        }
    }
    for (const auto& [name, rows] : attributes) {
        problems.push_back(name + " has rows in attributes.tsv but no page");
    }
    for (const auto* table : {&expected, &identity}) {
        for (const auto& [name, row] : *table) {
            problems.push_back(name + " has a row in " + (table == &expected ? "expected.tsv" : "identity.tsv") +
                               " but no page");
        }
    }
    return result;
}

DriveAnswers::RealNvmeLogs DriveAnswers::LoadRealNvmeLogs(const std::filesystem::path& dir, const std::string& table)
{
    RealNvmeLogs result;
    auto& problems = result.problems;
    const auto healthText = ReadWholeFile(dir / table);
    if (!healthText) {
        problems.push_back("no " + table + " in " + dir.string());
        return result;
    }
    const std::string header = std::string(Split(*healthText, '\n').front());
    auto health = ReadTable(*healthText, header, table, problems);
    const auto columns = Split(header, '\t');
    for (const auto& path : PagesIn(dir)) {
        RealNvmeLog log;
        log.name = path.stem().string();
        const auto bytes = ReadWholeFile(path);
        const auto row = health.find(log.name);
        if (!bytes || bytes->size() != 512) {
            problems.push_back(log.name + ".bin is not a 512-byte log");
        } else if (row == health.end()) {
            problems.push_back(log.name + ".bin has no row in " + table);
        } else {
            log.log.assign(bytes->begin(), bytes->end());
            for (std::size_t i = 1; i < columns.size(); ++i) {
                log.fields.emplace(columns[i], row->second[i]);
            }
            result.logs.push_back(std::move(log));
        }
        if (row != health.end()) {
            health.erase(row);
        }
    }
    for (const auto& [name, row] : health) {
        problems.push_back(name + " has a row in " + table + " but no log");
    }
    return result;
}

DriveAnswers::Layout::Layout(std::uint32_t style) : m_bytes(kHeaderSize, 0)
{
    PutLe(m_bytes, 0, style, 4);
}

DriveAnswers::Layout& DriveAnswers::Layout::Signature(std::uint32_t signature)
{
    PutLe(m_bytes, 8, signature, 4);
    return *this;
}

DriveAnswers::Layout& DriveAnswers::Layout::DiskId(std::string_view guid)
{
    PutGuid(m_bytes, 8, guid);
    return *this;
}

std::size_t DriveAnswers::Layout::Entry(std::uint32_t number, std::int64_t start, std::int64_t length)
{
    const std::size_t at = m_bytes.size();
    m_bytes.resize(at + kEntrySize, 0);
    PutLe(m_bytes, at, GetLe(m_bytes, 0, 4), 4); // the entry's style, the table's
    PutLe(m_bytes, at + 8, static_cast<std::uint64_t>(start), 8);
    PutLe(m_bytes, at + 16, static_cast<std::uint64_t>(length), 8);
    PutLe(m_bytes, at + 24, number, 4);
    if (!m_countSet) {
        PutLe(m_bytes, 4, (m_bytes.size() - kHeaderSize) / kEntrySize, 4);
    }
    return at + 32;
}

DriveAnswers::Layout& DriveAnswers::Layout::Mbr(std::uint32_t number, std::int64_t start, std::int64_t length,
                                                std::uint8_t type)
{
    m_bytes.at(Entry(number, start, length)) = type;
    return *this;
}

DriveAnswers::Layout& DriveAnswers::Layout::Gpt(std::uint32_t number, std::int64_t start, std::int64_t length,
                                                std::string_view type, std::string_view name)
{
    const std::size_t at = Entry(number, start, length);
    PutGuid(m_bytes, at, type);
    for (std::size_t i = 0; i < name.size() && i < 36; ++i) {
        PutLe(m_bytes, at + 40 + 2 * i, static_cast<std::uint8_t>(name[i]), 2);
    }
    return *this;
}

DriveAnswers::Layout& DriveAnswers::Layout::Count(std::uint32_t count)
{
    PutLe(m_bytes, 4, count, 4);
    m_countSet = true;
    return *this;
}

DriveAnswers::Bytes DriveAnswers::Extents(std::initializer_list<Extent> extents)
{
    Bytes bytes(8 + 24 * extents.size(), 0);
    PutLe(bytes, 0, extents.size(), 4);
    std::size_t at = 8;
    for (const Extent& extent : extents) {
        PutLe(bytes, at, extent.disk, 4);
        PutLe(bytes, at + 8, static_cast<std::uint64_t>(extent.start), 8);
        PutLe(bytes, at + 16, static_cast<std::uint64_t>(extent.length), 8);
        at += 24;
    }
    return bytes;
}

std::vector<DriveAnswers::MadeVolume> DriveAnswers::LoadMadeVolumes(const std::filesystem::path& folder)
{
    constexpr std::size_t kPage = 4096;
    std::vector<MadeVolume> volumes;
    std::ifstream list(folder / "volumes.tsv");
    std::string line;
    while (std::getline(list, line)) {
        MadeVolume volume;
        std::array<char, 64> pages{};
        std::array<char, 256> file{};
        unsigned long long first = 0;
        unsigned long long sectors = 0;
        unsigned long long fileLba = 0;
        if (std::sscanf(line.c_str(), "%u\t%llu\t%llu\t%255[^\t]\t%llu\t%63s", &volume.number, &first, &sectors,
                        file.data(), &fileLba, pages.data()) != 6) {
            continue;
        }
        volume.firstLba = first;
        volume.sectors = sectors;
        volume.file = file.data();
        volume.fileLba = fileLba;
        std::ifstream bytes(folder / pages.data(), std::ios::binary);
        std::array<std::uint8_t, 8> at{};
        Bytes page(kPage);
        while (bytes.read(reinterpret_cast<char*>(at.data()), at.size()) &&
               bytes.read(reinterpret_cast<char*>(page.data()), static_cast<std::streamsize>(kPage))) {
            std::uint64_t offset = 0;
            for (std::size_t index = 0; index < at.size(); ++index) {
                offset += std::uint64_t{at[index]} << (8 * index);
            }
            if (!volume.contents.empty()) {
                auto& [last, run] = *volume.contents.rbegin();
                if (last + run.size() == offset) {
                    run.insert(run.end(), page.begin(), page.end());
                    continue;
                }
            }
            volume.contents[offset] = page;
        }
        volumes.push_back(std::move(volume));
    }
    return volumes;
}
