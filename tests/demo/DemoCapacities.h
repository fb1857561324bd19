#pragma once

#include <array>
#include <cstdint>

// The demo's drives' capacities by drive number, in bytes: the surfaces file's LBAs are laid
// over these, by the demo and by the test that checks what a scan of each surface reports.
inline constexpr std::array<std::int64_t, 10> kDemoCapacities{
    2'000'398'934'016, 500'107'862'016, 240'057'409'536, 120'034'123'776,
    1'000'204'886'016, 1'024'209'543'168, 122'942'324'736, 500'107'862'016,
    1'000'215'724'032, 1'600'321'314'816,
};
