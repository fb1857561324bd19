#include "FuzzCheck.h"
#include "TrimCheck.h"

// Any bytes, as an identity string a device might send.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const ExactAnswer<char> text({data, size}, size);
    const std::span<const char> bytes = text.Bytes();
    CheckTrimBlanks({bytes.data(), bytes.size()});
    return 0;
}
