#pragma once

#include <cstddef>

// SRB_IO_CONTROL as ntddscsi.h lays it out: the header of every IOCTL_SCSI_MINIPORT request,
// which a miniport's own structure follows in the same buffer (CSMI's, the RST NVMe
// pass-through's). Length counts the bytes after it.
namespace SrbIoControl {
inline constexpr std::size_t kSize = 28;
inline constexpr std::size_t kHeaderLengthAt = 0;
inline constexpr std::size_t kSignatureAt = 4;
inline constexpr std::size_t kTimeoutAt = 12;
inline constexpr std::size_t kControlCodeAt = 16;
inline constexpr std::size_t kReturnCodeAt = 20;
inline constexpr std::size_t kLengthAt = 24;
} // namespace SrbIoControl
