#include "mlcore/tokenizers/ByteEncoder.h"

#include "platform/text/Utf.h"

namespace celvan {
namespace {

constexpr char32_t kFirstShiftedCharacter = 0x100;
constexpr char32_t kCharacterLimit = kFirstShiftedCharacter + 68;

bool standsForItself(unsigned byte) {
    return (byte >= 0x21 && byte <= 0x7E) || (byte >= 0xA1 && byte <= 0xAC) || (byte >= 0xAE && byte <= 0xFF);
}

struct Tables {
    std::array<char32_t, 256> characterOfByte{};
    std::array<int16_t, kCharacterLimit> byteOfCharacter{};
    std::array<std::string, 256> encoder;
    std::unordered_map<std::string, uint8_t> decoder;

    Tables() {
        byteOfCharacter.fill(-1);
        char32_t next = kFirstShiftedCharacter;
        for (unsigned byte = 0; byte < 256; ++byte) {
            const char32_t character = standsForItself(byte) ? static_cast<char32_t>(byte) : next++;
            characterOfByte[byte] = character;
            byteOfCharacter[character] = static_cast<int16_t>(byte);
            platform::text::appendUtf8(encoder[byte], character);
            decoder.emplace(encoder[byte], static_cast<uint8_t>(byte));
        }
    }
};

const Tables& tables() {
    static const Tables instance;
    return instance;
}

} // namespace

const std::array<std::string, 256>& byteEncoder() { return tables().encoder; }

const std::unordered_map<std::string, uint8_t>& byteDecoder() { return tables().decoder; }

std::optional<uint8_t> decodedByte(char32_t character) {
    if (character >= kCharacterLimit) return std::nullopt;
    const int16_t byte = tables().byteOfCharacter[character];
    if (byte < 0) return std::nullopt;
    return static_cast<uint8_t>(byte);
}

} // namespace celvan
