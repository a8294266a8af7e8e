#include "qrcode.h"

#include <qrencode.h>

#include <memory>

namespace pushserver {

namespace {

constexpr int quietZone = 4;

} // namespace

std::vector<std::string> qrMatrix(std::string_view text)
{
    // Version 40 at level M holds 2331 bytes; libqrencode says so itself for longer texts (ERANGE).
    const std::unique_ptr<QRcode, decltype(&QRcode_free)> code(
        QRcode_encodeData(static_cast<int>(text.size()), reinterpret_cast<const unsigned char *>(text.data()), 0,
                          QR_ECLEVEL_M),
        QRcode_free);
    std::vector<std::string> rows;
    if (!code)
        return rows;
    const int width = code->width;
    rows.reserve(static_cast<std::size_t>(width));
    for (int y = 0; y < width; ++y) {
        std::string row(static_cast<std::size_t>(width), '0');
        for (int x = 0; x < width; ++x) {
            // The lowest bit is the module's colour; the others say what the module is part of.
            if (code->data[y * width + x] & 1)
                row[static_cast<std::size_t>(x)] = '1';
        }
        rows.push_back(std::move(row));
    }
    return rows;
}

std::string qrTerminalText(const std::vector<std::string> &matrix)
{
    const int size = static_cast<int>(matrix.size());
    const int side = size + 2 * quietZone;
    // Outside the matrix (the quiet zone, and the half line below an odd number of rows) is light.
    const auto light = [&](int y, int x) {
        y -= quietZone;
        x -= quietZone;
        if (y < 0 || x < 0 || y >= size)
            return true;
        const std::string &row = matrix[static_cast<std::size_t>(y)];
        return x >= static_cast<int>(row.size()) || row[static_cast<std::size_t>(x)] != '1';
    };
    std::string text;
    for (int y = 0; y < side; y += 2) {
        text += "\x1b[97;40m";
        for (int x = 0; x < side; ++x) {
            const bool top = light(y, x), bottom = light(y + 1, x);
            // Full block: both light; upper half: the top one; lower half: the bottom one.
            text += top ? (bottom ? "\xe2\x96\x88" : "\xe2\x96\x80") : (bottom ? "\xe2\x96\x84" : " ");
        }
        // Reset before the line end, so that the colours do not fill the rest of the line.
        text += "\x1b[0m\n";
    }
    return text;
}

} // namespace pushserver
