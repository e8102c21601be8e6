#include "adapter/ftdi_channels.h"

#include <algorithm>
#include <cstring>

namespace cm3probe::adapter::ftdi {

uint32_t ChannelCount(uint16_t bcdDevice) {
    switch (bcdDevice) {
        case release::k2232C:
        case release::k2232H:
            return channels::kDual;
        case release::k4232H:
            return channels::kQuad;
        case release::kAm:
        case release::kBm:
        case release::kR:
        case release::k232H:
        case release::k230X:
        default:
            return channels::kSingle;
    }
}

void ComposeDescription(std::string_view product, uint32_t channel, uint32_t channelCount, Description& out) {
    const bool suffixed = channelCount > channels::kSingle;
    const size_t room = kMaxDescriptionLength - (suffixed ? suffix::kLength : 0);
    const size_t length = std::min(product.size(), room);
    std::memcpy(out, product.data(), length);
    size_t n = length;
    if (suffixed) {
        out[n++] = suffix::kSeparator;
        out[n++] = static_cast<char>(suffix::kFirstLetter + channel);
    }
    out[n] = '\0';
}

void AppendChannels(std::string_view product, uint32_t channelCount, Description* descriptions, uint32_t capacity,
                    uint32_t* count) {
    for (uint32_t channel = 0; channel < channelCount; ++channel) {
        if (*count < capacity) ComposeDescription(product, channel, channelCount, descriptions[*count]);
        ++*count;
    }
}

std::optional<uint32_t> MatchChannel(std::string_view product, uint32_t channelCount, std::string_view wanted) {
    for (uint32_t channel = 0; channel < channelCount; ++channel) {
        Description listed;
        ComposeDescription(product, channel, channelCount, listed);
        if (wanted == listed) return channel;
    }
    return std::nullopt;
}

}  // namespace cm3probe::adapter::ftdi
