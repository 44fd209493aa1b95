#include "mlcore/tokenizers/BPETokenizer.h"

#include "mlcore/tokenizers/TokenizerError.h"
#include "mlcore/tokenizers/TokenizerModel.h"
#include "mlcore/tokenizers/UnsupportedConfigurationError.h"
#include "platform/text/Utf.h"

#include <cstdio>
#include <mutex>
#include <queue>
#include <shared_mutex>

namespace celvan {

struct BPETokenizer::Symbol {
    // Marks the unknown token, which takes part in no merge, and symbols
    // that were merged away.
    static constexpr int32_t kNoId = -1;

    int32_t id;
    int32_t prev;
    int32_t next;
};

// Most text repeats its words, so their tokens are kept; the cache stops
// growing once full rather than evicting, which keeps reads cheap.
class BPETokenizer::WordCache {
public:
    static constexpr std::size_t kCapacity = 10000;
    static constexpr std::size_t kLongestWord = 256;

    std::optional<std::vector<std::string>> find(const std::string& word) const {
        std::shared_lock lock(mutex_);
        auto found = tokens_.find(word);
        if (found == tokens_.end()) return std::nullopt;
        return found->second;
    }

    void insert(const std::string& word, const std::vector<std::string>& tokens) {
        if (word.size() > kLongestWord) return;
        std::unique_lock lock(mutex_);
        if (tokens_.size() < kCapacity) tokens_.emplace(word, tokens);
    }

private:
    mutable std::shared_mutex mutex_;
    std::unordered_map<std::string, std::vector<std::string>> tokens_;
};

namespace {

uint64_t pairKey(int32_t left, int32_t right) {
    return (static_cast<uint64_t>(static_cast<uint32_t>(left)) << 32) | static_cast<uint32_t>(right);
}

std::string byteToken(unsigned byte) {
    char text[8];
    std::snprintf(text, sizeof text, "<0x%02X>", byte);
    return text;
}

// The model section's own entry, even a null one, which says the model has
// no such setting; absent when the section does not carry the key.
const Config* modelEntry(const Config& model, std::string_view name, std::string_view snakeName) {
    if (const auto* entries = model.dictionary()) {
        for (auto key : {name, snakeName}) {
            if (auto found = entries->find(BinaryDistinctString(key)); found != entries->end()) return &found->second;
        }
    }
    return nullptr;
}

} // namespace

namespace {

// The parts of one merge entry into a reused list; false for an entry that is
// neither a string nor an array.
bool mergeParts(const Config& element, std::vector<std::string>& parts) {
    if (const auto* text = element.value().stringValue()) {
        const std::string merge = text->string();
        parts.clear();
        std::size_t start = 0;
        for (std::size_t space; (space = merge.find(' ', start)) != std::string::npos; start = space + 1) {
            parts.push_back(merge.substr(start, space - start));
        }
        parts.push_back(merge.substr(start));
        return true;
    }
    if (auto strings = element.get()) {
        parts = std::move(*strings);
        return true;
    }
    return false;
}

} // namespace

// The texts of a run of merges, each merge's two parts and the token they
// make back to back in one buffer, so that all their ids are looked up at once.
class BPETokenizer::MergeBatch {
public:
    static constexpr std::size_t kCapacity = 64;

    // A merge written as its two parts with one space between; any other
    // number of spaces is no pair.
    void addSpaced(std::u16string_view units, int32_t rank) {
        const std::size_t begin = text_.size();
        platform::text::appendUtf8(text_, units);
        const std::size_t space = text_.find(' ', begin);
        if (space == std::string::npos || text_.find(' ', space + 1) != std::string::npos) {
            throw TokenizerError::malformedVocab();
        }
        const std::size_t end = text_.size();
        joined_.assign(text_, begin, space - begin).append(text_, space + 1);
        text_.append(joined_);
        merges_.push_back({{begin, space, space + 1, end, text_.size()}, rank});
    }

    void add(std::string_view left, std::string_view right, int32_t rank) {
        const std::size_t begin = text_.size();
        text_.append(left).append(right).append(left).append(right);
        const std::size_t middle = begin + left.size();
        const std::size_t end = middle + right.size();
        merges_.push_back({{begin, middle, middle, end, text_.size()}, rank});
    }

    bool full() const { return merges_.size() == kCapacity; }
    std::size_t size() const { return merges_.size(); }
    int32_t rank(std::size_t merge) const { return merges_[merge].rank; }

    void lookUp(const TokenTable& table) {
        tokens_.clear();
        for (const auto& merge : merges_) {
            for (std::size_t part = 0; part < 3; ++part) tokens_.push_back(textOf(merge, part));
        }
        ids_.resize(tokens_.size());
        table.ids(tokens_, ids_);
    }
    // After lookUp: the ids of the two parts and of the token they make.
    uint64_t pairKey(std::size_t merge) const { return celvan::pairKey(idOf(merge, 0), idOf(merge, 1)); }
    int32_t result(std::size_t merge) const { return idOf(merge, 2); }

    void clear() {
        text_.clear();
        merges_.clear();
    }

private:
    struct Entry {
        // Left part, the space or nothing, right part, then the joined token.
        std::array<std::size_t, 5> bounds;
        int32_t rank;
    };

    std::string_view textOf(const Entry& merge, std::size_t part) const {
        // Which bounds enclose the left part, the right part and the token.
        static constexpr std::array<std::pair<std::size_t, std::size_t>, 3> kParts = {{{0, 1}, {2, 3}, {3, 4}}};
        const std::size_t begin = merge.bounds[kParts[part].first];
        return std::string_view(text_).substr(begin, merge.bounds[kParts[part].second] - begin);
    }
    int32_t idOf(std::size_t merge, std::size_t part) const {
        const auto id = ids_[merge * 3 + part];
        if (!id) throw TokenizerError::malformedVocab();
        return *id;
    }

    std::string text_;
    std::string joined_;
    std::vector<Entry> merges_;
    std::vector<std::string_view> tokens_;
    std::vector<std::optional<int32_t>> ids_;
};

void BPETokenizer::addMerges(MergeBatch& batch) {
    batch.lookUp(tokensToIds_);
    for (std::size_t merge = 0; merge < batch.size(); ++merge) bpeRanks_.prefetch(batch.pairKey(merge));
    for (std::size_t merge = 0; merge < batch.size(); ++merge) {
        bpeRanks_.insertOrAssign(batch.pairKey(merge), Merge{batch.rank(merge), batch.result(merge)});
    }
    batch.clear();
}

std::optional<std::vector<std::vector<std::string>>> BPETokenizer::mergesFromConfig(const Config* config) {
    if (!config || !config->array()) return std::nullopt;
    std::vector<std::vector<std::string>> merges;
    merges.reserve(config->array()->size());
    std::vector<std::string> parts;
    for (const Config& element : *config->array()) {
        if (mergeParts(element, parts)) merges.push_back(parts);
    }
    return merges;
}

BPETokenizer::BPETokenizer(const Config& tokenizerConfig, const Config& tokenizerData,
                           const AddedTokenIds& addedTokens)
    : cache_(std::make_unique<WordCache>()) {
    const Config& model = tokenizerData["model"];
    const auto* merges = model["merges"].array();
    if (!merges) throw UnsupportedConfigurationError("BPETokenizer requires merges");

    tokensToIds_ = TokenTable::fromVocabulary(model["vocab"], addedTokens);

    // A merge must join two tokens into a third, all of them in the
    // vocabulary; any other merge could never yield a token the model knows.
    bpeRanks_.reserve(merges->size());
    MergeBatch batch;
    std::vector<std::string> parts;
    int32_t rank = -1;
    for (const Config& element : *merges) {
        if (const auto* units = element.value().stringValue()) {
            batch.addSpaced(units->value(), ++rank);
        } else if (mergeParts(element, parts)) {
            if (parts.size() != 2) throw TokenizerError::malformedVocab();
            batch.add(parts[0], parts[1], ++rank);
        } else {
            continue;
        }
        if (batch.full()) addMerges(batch);
    }
    addMerges(batch);

    auto idIn = [this](const std::optional<std::string>& token) -> std::optional<int64_t> {
        if (!token) return std::nullopt;
        return tokensToIds_.id(*token);
    };
    // The model section says what the model was trained with; the tokenizer
    // configuration speaks for files whose model section is silent.
    const Config* unknown = modelEntry(model, "unkToken", "unk_token");
    unknownToken_ = unknown ? addedTokenAsString(unknown) : TokenizerModel::unknownToken(tokenizerConfig);
    unknownTokenId_ = idIn(unknownToken_);
    eosToken_ = addedTokenAsString(&tokenizerConfig["eosToken"]);
    eosTokenId_ = idIn(eosToken_);
    bosToken_ = addedTokenAsString(&tokenizerConfig["bosToken"]);
    bosTokenId_ = idIn(bosToken_);
    const Config* fuse = modelEntry(model, "fuseUnk", "fuse_unk");
    fuseUnknownTokens_ = (fuse ? *fuse : tokenizerConfig["fuseUnk"]).boolean().value_or(false);
    byteFallback_ = model["byteFallback"].boolean().value_or(false);
    ignoreMerges_ = model["ignoreMerges"].boolean().value_or(false);
    if (byteFallback_) {
        for (unsigned byte = 0; byte < 256; ++byte) {
            if (auto id = idIn(byteToken(byte))) byteTokenIds_[byte] = static_cast<int32_t>(*id);
        }
    }
}

BPETokenizer::~BPETokenizer() = default;

std::vector<BPETokenizer::Symbol> BPETokenizer::initialSymbols(std::string_view word) const {
    std::vector<Symbol> symbols;
    symbols.reserve(word.size());
    auto append = [&symbols](int32_t id) {
        const auto index = static_cast<int32_t>(symbols.size());
        symbols.push_back({id, index - 1, index + 1});
    };
    for (std::size_t offset = 0; offset < word.size();) {
        const std::size_t length = scalarLength(word, offset);
        const auto character = word.substr(offset, length);
        offset += length;
        if (const auto id = tokensToIds_.id(character)) {
            append(*id);
            continue;
        }
        bool allBytesKnown = byteFallback_;
        for (std::size_t k = 0; allBytesKnown && k < length; ++k) {
            allBytesKnown = byteTokenIds_[static_cast<unsigned char>(character[k])].has_value();
        }
        if (allBytesKnown) {
            for (char byte : character) append(*byteTokenIds_[static_cast<unsigned char>(byte)]);
        } else if (unknownToken_) {
            append(Symbol::kNoId);
        }
    }
    if (!symbols.empty()) symbols.back().next = -1;
    return symbols;
}

void BPETokenizer::merge(std::vector<Symbol>& symbols) const {
    struct Candidate {
        int32_t rank;
        int32_t left;
        int32_t right;
        int32_t result;
        // The lowest rank first, and of one rank the leftmost pair first.
        bool operator<(const Candidate& other) const {
            return rank != other.rank ? rank > other.rank : left > other.left;
        }
    };
    std::priority_queue<Candidate> queue;
    auto consider = [&](int32_t left) {
        if (left < 0) return;
        const int32_t right = symbols[left].next;
        if (right < 0 || symbols[left].id == Symbol::kNoId || symbols[right].id == Symbol::kNoId) return;
        if (const Merge* found = bpeRanks_.find(pairKey(symbols[left].id, symbols[right].id))) {
            queue.push({found->rank, left, right, found->result});
        }
    };
    for (int32_t index = 0; index + 1 < static_cast<int32_t>(symbols.size()); ++index) consider(index);

    while (!queue.empty()) {
        const Candidate candidate = queue.top();
        queue.pop();
        Symbol& left = symbols[candidate.left];
        // A pair is stale once either side took part in another merge.
        if (left.id == Symbol::kNoId || left.next != candidate.right) continue;
        Symbol& right = symbols[candidate.right];
        if (right.id == Symbol::kNoId) continue;
        const Merge* still = bpeRanks_.find(pairKey(left.id, right.id));
        if (!still || still->rank != candidate.rank) continue;

        left.id = candidate.result;
        left.next = right.next;
        if (right.next >= 0) symbols[right.next].prev = candidate.left;
        right.id = Symbol::kNoId;
        consider(left.prev);
        consider(candidate.left);
    }
}

std::vector<std::string> BPETokenizer::tokensOf(const std::vector<Symbol>& symbols) const {
    std::vector<std::string> tokens;
    for (int32_t index = symbols.empty() ? -1 : 0; index >= 0; index = symbols[index].next) {
        const int32_t id = symbols[index].id;
        tokens.push_back(id == Symbol::kNoId ? *unknownToken_ : std::string(*tokensToIds_.token(id)));
    }
    return tokens;
}

std::vector<std::string> BPETokenizer::tokenize(const std::string& text) const {
    if (text.empty()) return {};
    if (ignoreMerges_ && tokensToIds_.id(text)) return {text};
    if (auto cached = cache_->find(text)) return std::move(*cached);
    auto symbols = initialSymbols(text);
    merge(symbols);
    auto tokens = tokensOf(symbols);
    cache_->insert(text, tokens);
    return tokens;
}

std::optional<int64_t> BPETokenizer::convertTokenToId(const std::string& token) const {
    if (const auto id = tokensToIds_.id(token)) return *id;
    return unknownTokenId_;
}

std::optional<std::string> BPETokenizer::convertIdToToken(int64_t id) const {
    const auto token = tokensToIds_.token(id);
    return token ? std::optional<std::string>(*token) : std::nullopt;
}

} // namespace celvan
