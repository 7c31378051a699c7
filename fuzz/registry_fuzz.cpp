// Feeds arbitrary bytes to the .reg file parser: it must refuse or accept
// every input without crashing, hanging or reading out of bounds.
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/RegistryFile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string bytes(reinterpret_cast<const char*>(data), size);
    std::string error;
    RegistryNode root;
    bool accepted = ParseRegistryFile("fuzz.reg", bytes, root, error);
    // A refusal always says where; an acceptance leaves no message.
    if (accepted != error.empty() || (!accepted && error.rfind("fuzz.reg:", 0) != 0))
        __builtin_trap();
    return 0;
}
