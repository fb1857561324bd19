#include "FuzzCheck.h"

#include "diskinfo/Csmi.h"

#include <algorithm>

// The input is a RAID driver's answer of the input's own size (so that a short answer is tried
// as well as a whole one), read as GET_DRIVER_INFO, GET_PHY_INFO and STP_PASSTHRU of 512 bytes or
// of as many bytes as its last two bytes say. Offsets as CSMI publishes them.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const ExactAnswer<std::uint8_t> exact(std::span<const std::uint8_t>(data, size), size);
    const std::span<const std::uint8_t> answer = exact.Bytes();
    const bool succeeded = size >= 24 && FuzzReadLe(answer.subspan(20), 4) == 0;

    // The name: only from a whole, successful answer, inside szName (81 bytes at 28), up to its NUL.
    const auto name = Csmi::DriverName(answer);
    const bool nameEnds = size >= 204 && std::find(answer.begin() + 28, answer.begin() + 28 + 81, 0) != answer.begin() + 28 + 81;
    FUZZ_CHECK(name.has_value() == (succeeded && size >= 204 && nameEnds));
    if (name) {
        FUZZ_CHECK(reinterpret_cast<const std::uint8_t*>(name->data()) == answer.data() + 28);
        FUZZ_CHECK(name->size() < 81 && answer[28 + name->size()] == 0);
    }

    // The SATA devices: no more than the count (at 28, at most 32) of 64-byte entries from 32,
    // each an end device (10h at 36) of protocol SATA or STP (at 39), its fields from its entry.
    const auto devices = Csmi::SataDevices(answer);
    FUZZ_CHECK(devices.empty() || (succeeded && size >= 2080));
    if (!devices.empty()) {
        const std::size_t count = std::min<std::size_t>(answer[28], 32);
        std::size_t found = 0;
        for (std::size_t i = 0; i < count; ++i) {
            const auto entry = answer.subspan(32 + i * 64, 64);
            if (entry[36] != 0x10 || (entry[39] & 0x05) == 0) {
                continue;
            }
            FUZZ_CHECK(found < devices.size());
            const Csmi::Device& device = devices[found++];
            FUZZ_CHECK(device.phy == entry[20] && device.port == entry[28]);
            FUZZ_CHECK(std::equal(device.address.begin(), device.address.end(), entry.begin() + 48));
        }
        FUZZ_CHECK(found == devices.size());
    }

    // The data: from 164, exactly `length` bytes, only where the answer holds them, the driver
    // succeeded, the link opened (0 at 72), the status FIS's status (at 78) has no error bit and
    // uDataBytes (at 160) is the length.
    const std::size_t asked = size >= 2 ? static_cast<std::size_t>(FuzzReadLe(answer.subspan(size - 2), 2)) : 0;
    for (const std::size_t length : {std::size_t{512}, asked}) {
        const auto stp = Csmi::StpData(answer, length);
        const bool whole = size >= 164 + length;
        FUZZ_CHECK(stp.has_value() == (succeeded && whole && answer[72] == 0 && (answer[78] & 1) == 0 &&
                                        FuzzReadLe(answer.subspan(160), 4) == length));
        if (stp) {
            FUZZ_CHECK(stp->data() == answer.data() + 164 && stp->size() == length);
        }
    }
    return 0;
}
