#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "app/formatting/OllamaSetup.h"
#include "app/ui/FormattingSectionState.h"

namespace dictaro {

// The "Ollama setup" block's texts for each thing the server or a model
// download reports.
namespace ollama_controls {

// An installed name satisfies `model` when it is the model or the model with
// a tag ("llama3.3" by "llama3.3:latest", never "qwen3:4b" by "qwen3:4b-instruct").
bool isModelInstalled(const std::vector<std::string>& installedNames, const std::string& model);

// Decimal units: "2.5 GB", "734 MB".
std::string formatBytes(std::int64_t bytes);

// The server and model lines for the last health answer. `ollamaInstalled`
// picks "Open Ollama" over "Install Ollama"; while `pulling` the download
// button stays hidden.
void showHealth(OllamaBlockState& block, const OllamaSetup::Health& health, const std::string& model,
                const std::string& host, bool ollamaInstalled, bool pulling);

void showPullStarted(OllamaBlockState& block);
void showPullProgress(OllamaBlockState& block, const OllamaSetup::PullProgress& progress);
void showPullSucceeded(OllamaBlockState& block, const std::string& model);
void showPullFailed(OllamaBlockState& block, const std::string& reason);

}  // namespace ollama_controls

}  // namespace dictaro
