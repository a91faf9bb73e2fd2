#include "output/plan_json.h"

#include <rapidjson/prettywriter.h>

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <limits>
#include <span>
#include <stdexcept>

#include "date/date.h"
#include "util/text.h"

namespace tarn {
/// Names the stack that keeps the writer's open objects and arrays (below).
struct WriterLevels {};
}  // namespace tarn

// RapidJSON's own stack for the writer's open objects and arrays starts
// without storage and, on the first push, adds to its null pointer, which is
// undefined behaviour. The writer takes the stack's type from its allocator
// parameter, so a writer given `WriterLevels` uses this stack instead: fixed
// storage, far deeper than the plan document's four levels.
namespace rapidjson::internal {

template <>
class Stack<tarn::WriterLevels> {
 public:
  Stack(tarn::WriterLevels*, std::size_t) {}
  Stack(const Stack&) = delete;
  Stack& operator=(const Stack&) = delete;

  void Clear() { size_ = 0; }
  bool Empty() const { return size_ == 0; }
  std::size_t GetSize() const { return size_; }

  template <typename T>
  T* Push(std::size_t count = 1) {
    static_assert(alignof(T) <= alignof(std::max_align_t));
    if (sizeof(T) * count > sizeof(storage_) - size_) {
      throw std::length_error("JSON nested too deeply for the plan document writer");
    }
    T* at = reinterpret_cast<T*>(storage_ + size_);
    size_ += sizeof(T) * count;
    return at;
  }
  template <typename T>
  T* Pop(std::size_t count) {
    size_ -= sizeof(T) * count;
    return reinterpret_cast<T*>(storage_ + size_);
  }
  template <typename T>
  T* Top() {
    return reinterpret_cast<T*>(storage_ + size_ - sizeof(T));
  }

 private:
  alignas(std::max_align_t) unsigned char storage_[64 * 16];
  std::size_t size_ = 0;
};

}  // namespace rapidjson::internal

namespace tarn {

namespace {

/// RapidJSON's output stream into a string it keeps sized ahead of the
/// writer, which reserves room before each token.
class DocumentStream {
 public:
  using Ch = char;
  explicit DocumentStream(std::string& out) : out_(out) { attach(0); }

  void Put(char c) {
    Reserve(1);
    PutUnsafe(c);
  }
  void PutUnsafe(char c) { *next_++ = c; }
  void Reserve(std::size_t count) {
    if (static_cast<std::size_t>(end_ - next_) < count) {
      const std::size_t used = this->used();
      out_.resize(std::max(out_.size() * 2, used + count));
      attach(used);
    }
  }
  void Flush() {}

  std::size_t used() const { return static_cast<std::size_t>(next_ - out_.data()); }
  /// The text written since `start`, for corrections in place.
  std::span<char> written_since(std::size_t start) {
    return std::span<char>(out_).subspan(start, used() - start);
  }
  /// Drops the room reserved but not used.
  void finish() { out_.resize(used()); }

 private:
  void attach(std::size_t used) {
    next_ = out_.data() + used;
    end_ = out_.data() + out_.size();
  }

  std::string& out_;
  char* next_ = nullptr;
  char* end_ = nullptr;
};

// RapidJSON's writer reaches its stream through these two functions, found
// here by argument-dependent lookup in preference to its generic ones, which
// would go through Put for every character.
void PutReserve(DocumentStream& stream, std::size_t count) {
  stream.Reserve(count);
}
void PutUnsafe(DocumentStream& stream, char c) {
  stream.PutUnsafe(c);
}

/// What a string holds that the writer cannot copy straight through.
struct StringTraits {
  bool non_ascii = false;
  bool needs_hex_escape = false;  // a control character without a short escape
};

StringTraits traits_of(std::string_view text) {
  // Branch-free so that the compiler can check many bytes at a time.
  unsigned char high = 0;
  bool control = false;
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    high |= byte;
    control |= byte < 0x20;
  }
  return {high >= 0x80, control};
}

/// RapidJSON writes the four digits of a "\\u" escape in upper case; the
/// document has them in lower case. Inside a written string every backslash
/// starts an escape, so walking from one to the next finds them all.
void lower_hex_escapes(std::span<char> written) {
  for (std::size_t at = 0; at + 1 < written.size(); ++at) {
    if (written[at] != '\\') {
      continue;
    }
    if (written[at + 1] == 'u') {
      for (std::size_t digit = at + 2; digit < at + 6 && digit < written.size(); ++digit) {
        written[digit] =
            static_cast<char>(std::tolower(static_cast<unsigned char>(written[digit])));
      }
      at += 5;
    } else {
      at += 1;
    }
  }
}

/// The pretty form: two spaces per level, "[]" and "{}" when empty.
class DocumentWriter {
 public:
  explicit DocumentWriter(std::string& out) : stream_(out), writer_(stream_) {
    writer_.SetIndent(' ', 2);
  }

  void finish() { stream_.finish(); }
  void begin_object() { writer_.StartObject(); }
  void end_object() { writer_.EndObject(); }
  void begin_array(std::string_view key) {
    this->key(key);
    writer_.StartArray();
  }
  void end_array() { writer_.EndArray(); }
  void key(std::string_view key) { writer_.Key(key.data(), size_of(key)); }

  /// Bytes that are not UTF-8 become U+FFFD rather than reaching the file.
  void string(std::string_view text) {
    const StringTraits traits = traits_of(text);
    std::string decoded;
    if (traits.non_ascii) {
      decoded = decode_lossy(text);
      text = decoded;
    }
    const std::size_t start = stream_.used();
    writer_.String(text.data(), size_of(text));
    if (traits.needs_hex_escape) {
      lower_hex_escapes(stream_.written_since(start));
    }
  }
  void member(std::string_view key, std::string_view text) {
    this->key(key);
    string(text);
  }
  void member(std::string_view key, std::int64_t number) {
    this->key(key);
    writer_.Int64(number);
  }

 private:
  static rapidjson::SizeType size_of(std::string_view text) {
    // RapidJSON counts in 32 bits; no name or message comes near that.
    return static_cast<rapidjson::SizeType>(
        std::min<std::size_t>(text.size(), std::numeric_limits<rapidjson::SizeType>::max()));
  }

  DocumentStream stream_;
  rapidjson::PrettyWriter<DocumentStream, rapidjson::UTF8<>, rapidjson::UTF8<>, WriterLevels>
      writer_;
};

void write_anchor_window(DocumentWriter& out, const Plan& plan) {
  out.key("anchor_window");
  out.begin_object();
  out.member("event_time_start", format_date(plan.anchor_window.start));
  out.member("event_time_end", format_date(plan.anchor_window.end));
  out.member("source", plan.default_yesterday ? "default_yesterday" : "explicit");
  if (auto note = plan.default_yesterday_note()) {
    out.member("note", *note);
  }
  out.end_object();
}

void write_warnings(DocumentWriter& out, const Plan& plan) {
  out.begin_array("warnings");
  for (const PlanWarning& warning : plan.warnings) {
    out.begin_object();
    out.member("model", warning.model);
    out.member("message", warning.message);
    out.end_object();
  }
  out.end_array();
}

void write_metadata(DocumentWriter& out, const Plan& plan, const PlanRunInfo& info,
                    std::int64_t unix_seconds) {
  out.key("metadata");
  out.begin_object();
  out.member("generated_at", format_utc_timestamp(std::max<std::int64_t>(unix_seconds, 0)));
  out.member("anchor_selection", info.anchor_selection);
  if (plan.anchor_model) {
    out.member("anchor_model", *plan.anchor_model);
  }
  write_anchor_window(out, plan);
  out.member("manifest_path", info.manifest_path);
  if (info.manifest_generated_at) {
    out.member("manifest_generated_at", *info.manifest_generated_at);
  }
  out.member("dbt_command", info.dbt_command);
  out.member("max_window_expansion_days", info.max_window_expansion_days);
  write_warnings(out, plan);
  out.end_object();
}

void write_model(DocumentWriter& out, const PlannedModel& model) {
  out.begin_object();
  out.member("name", model.name);
  out.member("event_time_start", format_date(model.event_time_start));
  out.member("event_time_end", format_date(model.event_time_end));
  out.member("lookback", model.lookback);
  out.member("lookback_unit", unit_name(model.lookback_unit));
  out.member("lookahead", model.lookahead);
  out.member("lookahead_unit", unit_name(model.lookahead_unit));
  out.begin_array("depends_on");
  for (const std::string& parent : model.depends_on) {
    out.string(parent);
  }
  out.end_array();
  out.member("layer", model.layer);
  out.end_object();
}

/// Room for the whole document up front: about 300 bytes per model and a
/// little per parent, so the string rarely grows.
std::size_t expected_size(const Plan& plan) {
  std::size_t bytes = 4096 + plan.warnings.size() * 256;
  for (const PlannedModel& model : plan.models) {
    bytes += 320 + model.name.size();
    for (const std::string& parent : model.depends_on) {
      bytes += parent.size() + 12;
    }
  }
  return bytes;
}

}  // namespace

std::string render_plan_json(const Plan& plan, const PlanRunInfo& info) {
  return render_plan_json_at(plan, info, unix_seconds_now());
}

std::string render_plan_json_at(const Plan& plan, const PlanRunInfo& info,
                                std::int64_t unix_seconds) {
  std::string text(expected_size(plan), '\0');
  DocumentWriter out(text);
  out.begin_object();
  write_metadata(out, plan, info, unix_seconds);
  out.begin_array("models");
  for (const PlannedModel& model : plan.models) {
    write_model(out, model);
  }
  out.end_array();
  out.end_object();
  out.finish();
  return text;
}

}  // namespace tarn
