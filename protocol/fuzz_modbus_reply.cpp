// libFuzzer target: any received block, checked as a read reply for Register
// Counts 1 to 16 and matched as a coil echo, must never crash or read outside
// the block.
#include "ModbusRtu.h"

#include <cstdlib>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2)
        return 0;
    const int registerCount = 1 + data[0] % 16;
    const int slave = data[1];
    // The block gets its own exact-size allocation so that any read past its
    // end is caught by AddressSanitizer.
    const std::vector<std::uint8_t> block(data + 2, data + size);

    std::vector<std::int32_t> values;
    const TReplyCheck outcome = CheckReadReply(block, registerCount, slave, values);
    if (outcome == TReplyCheck::Good) {
        if (values.size() != static_cast<std::size_t>(registerCount / 2))
            std::abort();
        if (block.size() != static_cast<std::size_t>(ExpectedReplyLength(registerCount)))
            std::abort();
    } else if (!values.empty()) {
        std::abort(); // a failed check must not produce values
    }

    const TFrame8 command =
        BuildCoilCommand(slave, (data[0] & 0x80) != 0 ? TCoilAction::Zero : TCoilAction::UnZero);
    const bool echo = IsCoilEcho(block, command);
    if (echo != (block.size() == 8 && std::equal(block.begin(), block.end(), command.begin())))
        std::abort();
    (void)HexText(block);
    return 0;
}
