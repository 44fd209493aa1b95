#pragma once

#include <filesystem>

namespace testsupport {

// The folder of the English-only Whisper tokenizer that the fixture script
// derived (vocabulary 51864, "<|endoftext|>" 50256).
std::filesystem::path englishWhisperTokenizerFolder();

// Writes into `folder` a multilingual Whisper tokenizer derived from the
// English one: one more text token before the special tokens, so that
// "<|endoftext|>" is 50257, "<|startoftranscript|>" 50258, the 99 language
// tokens 50259 on, "<|translate|>" 50358, "<|transcribe|>" 50359,
// "<|notimestamps|>" 50363 and the timestamps from 50364 (vocabulary 51865).
// Returns the folder. Throws std::runtime_error when the English files are
// missing.
std::filesystem::path writeMultilingualWhisperTokenizer(const std::filesystem::path& folder);

}  // namespace testsupport
