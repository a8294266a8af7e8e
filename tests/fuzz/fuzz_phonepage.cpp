#include "fuzzcheck.h"
#include "phonepage.h"
#include "query.h"
#include "tellink.h"

#include <fuzzer/FuzzedDataProvider.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <regex>

namespace {

std::size_t markup(const std::string &page)
{
    return static_cast<std::size_t>(
        std::count_if(page.begin(), page.end(), [](char c) { return c == '<' || c == '>' || c == '"' || c == '\''; }));
}

} // namespace

// A push's message and link are the sender's choice, and the device's name the account owner's.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    // The page's script offers a "Call" link by this pattern; the server must decide alike.
    static const std::regex callable(R"(^tel:\+?[0-9][0-9().\-]{0,39}$)");

    FuzzedDataProvider input(data, size);
    pushserver::Device device;
    device.name = input.ConsumeRandomLengthString(300);
    std::vector<pushserver::Push> pushes(input.ConsumeIntegralInRange<std::size_t>(0, 4));
    for (pushserver::Push &push : pushes) {
        push.id = input.ConsumeIntegral<std::int64_t>();
        push.createdAt = input.ConsumeIntegral<std::int64_t>();
        push.msg = input.ConsumeRandomLengthString(1100);
        push.extra = input.ConsumeRandomLengthString(300);
    }

    // The same page with plain texts: the sender's texts may add no markup and close no attribute.
    pushserver::Device plainDevice;
    plainDevice.name = "n";
    std::vector<pushserver::Push> plain = pushes;
    for (pushserver::Push &push : plain) {
        const bool call = pushserver::isCallableTel(push.extra);
        require(call == std::regex_match(push.extra, callable), "the page and its script offer the same calls");
        push.msg = "m";
        push.extra = call ? "tel:1" : "x";
    }
    const std::string page = pushserver::renderPhonePage(device, pushes, "nonce");
    require(markup(page) == markup(pushserver::renderPhonePage(plainDevice, plain, "nonce")),
            "the texts add no markup");

    for (const pushserver::Push &push : pushes) {
        const auto event = nlohmann::json::parse(pushserver::pushJson(push), nullptr, false);
        require(!event.is_discarded() && event.value("id", std::int64_t{0}) == push.id, "a push event is JSON");
        if (pushserver::isValidUtf8(push.msg))
            require(event.value("msg", std::string()) == push.msg, "a push event carries the message");
    }
    return 0;
}
