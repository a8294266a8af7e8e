#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace pushserver {

// The QR code of `text` (error correction level M, 8-bit mode, the smallest version that holds it): one string
// per row from the top, '1' for a dark module and '0' for a light one, without the quiet zone. Empty when the
// text does not fit in a QR code.
std::vector<std::string> qrMatrix(std::string_view text);

// A matrix drawn for a terminal in Unicode half blocks, two rows of modules per line, inside a quiet zone of
// four light modules. Light modules are drawn as bright white characters on a black background, so the code
// reads the right way round on a light terminal as on a dark one; without colours, on a dark terminal.
std::string qrTerminalText(const std::vector<std::string> &matrix);

} // namespace pushserver
