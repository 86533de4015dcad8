// The template skim against the strict reader on arbitrary bytes. Both must accept and refuse
// the same texts with the same error, and on an accepted text the skim must yield what the
// parsed tree holds: whether "result"."transactions" is a non-empty list, the txid texts of its
// elements in order, and the places of the commitment and the aux fields as a plain walk over
// the text finds them.
#include <cstdint>
#include <iterator>
#include <memory_resource>
#include <string>
#include <string_view>
#include <vector>

#include "../unit/common/template_oracle.h"
#include "auxpow/rewrite.h"
#include "fuzz_check.h"
#include "json/reader.h"
#include "json/skim.h"

namespace {

using skerrow::JsonValue;

// Read from the tree the plain way, as the rewrite did before the skim.
const JsonValue* transaction_list(const JsonValue& root) {
  const JsonValue* result = skerrow::get_member(root, "result");
  if (result == nullptr || !result->is_object()) return nullptr;
  const JsonValue* list = skerrow::get_member(*result, "transactions");
  return list != nullptr && list->is_array() ? list : nullptr;
}

std::vector<std::string_view> tree_txids(const JsonValue* list) {
  std::vector<std::string_view> ids;
  if (list == nullptr) return ids;
  for (const JsonValue& tx : list->items()) {
    const JsonValue* txid = skerrow::get_member(tx, "txid");
    if (txid != nullptr && txid->is_string()) ids.push_back(txid->as_text());
  }
  return ids;
}

// Control bytes, which no valid text holds raw, stand for the names the skim looks for (some
// written with escapes), so that mutations reach them in a few steps.
std::string with_names(std::string_view input) {
  static constexpr std::string_view kNames[] = {
      R"("result")", R"("transactions")", R"("txid")", R"("flags")", R"("coinbaseaux")",
      R"("t\u0078id")", R"("fl\u0061gs")", R"("coinb\u0061seaux")", R"({"result":{"transactions":[{"txid":")",
  };
  std::string out;
  for (char c : input) {
    const auto k = static_cast<std::size_t>(static_cast<unsigned char>(c)) - 1;
    if (k < std::size(kNames)) {
      out += kNames[k];
    } else {
      out += c;
    }
  }
  return out;
}

void check(std::string_view text) {
  std::pmr::memory_resource* memory = std::pmr::new_delete_resource();

  auto doc = skerrow::parse_json(text, memory, skerrow::JsonTexts::borrow);
  auto outline = skerrow::skim_template(text, memory);
  FUZZ_CHECK(doc.has_value() == outline.has_value());
  if (!doc) {
    FUZZ_CHECK(doc.error() == outline.error());
    return;
  }

  const JsonValue* list = transaction_list(doc->root());
  FUZZ_CHECK(outline->has_transactions == (list != nullptr && !list->items().empty()));
  const std::vector<std::string_view> want = tree_txids(list);
  FUZZ_CHECK(outline->txids.size() == want.size());
  for (std::size_t i = 0; i < want.size(); ++i) FUZZ_CHECK(outline->txids[i] == want[i]);

  const skerrow::testing::TemplatePlaces want_places = skerrow::testing::template_places(text);
  const skerrow::CommitmentPlace& a = want_places.commitment;
  const skerrow::CommitmentPlace b = skerrow::find_commitment_place(*outline);
  FUZZ_CHECK(a.found == b.found);
  FUZZ_CHECK(a.pos == b.pos);
  FUZZ_CHECK(a.before == b.before);
  FUZZ_CHECK(a.after == b.after);
  FUZZ_CHECK(want_places.result_close == outline->result_close);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::vector<char> copy(data, data + size);
  const std::string_view text(copy.data(), copy.size());
  check(text);
  const std::string named = with_names(text);
  if (named != text) check(named);
  return 0;
}
