// Splits UTF-8 text into overlapping, whitespace-trimmed chunks for indexing.
// Lengths and overlaps count Unicode scalar values; offsets are bytes into the
// input. Every chunk is non-empty, has no leading or trailing White_Space, and
// equals the input bytes [start_byte, end_byte). `chunk_text` never throws on
// its own, never prints, and ends for any options and any bytes (each invalid
// UTF-8 byte counts as one character that is neither space nor terminator).
#pragma once

#include <cstddef>      // std::size_t
#include <cstdint>      // std::uint8_t
#include <optional>     // std::optional
#include <string>       // std::string
#include <string_view>  // std::string_view
#include <vector>       // std::vector

namespace tessarin::ingest {

enum class ChunkingStrategy : std::uint8_t {
    Fixed,     ///< cut every window at exactly max_characters
    Sentence,  ///< prefer ending a window after a sentence, then after whitespace
};

struct ChunkingOptions {
    std::size_t max_characters = 0;
    std::size_t overlap_characters = 0;
    ChunkingStrategy strategy = ChunkingStrategy::Sentence;
};

struct TextChunk {
    std::string text;
    std::size_t start_byte = 0;
    std::size_t end_byte = 0;

    bool operator==(const TextChunk&) const = default;
};

enum class ChunkingErrorKind : std::uint8_t {
    ZeroMaximum,      ///< max_characters is zero
    OverlapTooLarge,  ///< overlap_characters is not below max_characters
};

struct ChunkingError {
    ChunkingErrorKind kind;
    std::size_t overlap_characters;
    std::size_t max_characters;

    /// One line of English naming the offending values.
    std::string message() const;
};

/// Checks options before any chunking: zero maximum first, then overlap.
std::optional<ChunkingError> validate_chunking_options(const ChunkingOptions& options);

/// Never fails; ends for any options, even ones `validate_chunking_options`
/// rejects (a zero maximum yields no chunks).
std::vector<TextChunk> chunk_text(std::string_view text, const ChunkingOptions& options);

}  // namespace tessarin::ingest
