// The configuration loader on arbitrary file contents. Beyond surviving them: a failure is
// one of the loader's documented errors, the JSON reader's verdict is never overruled, and a
// loaded Config holds only texts owned by its document (the input is wiped before they are
// read, so a view into it shows up as wrong text or, once freed, as a sanitizer report).
#include <cstdint>
#include <cstring>
#include <memory_resource>
#include <optional>
#include <string_view>
#include <vector>

#include "config/config.h"
#include "fuzz_check.h"
#include "json/reader.h"

namespace {

using skerrow::ErrorCode;

bool documented(ErrorCode e) {
  switch (e) {
    case ErrorCode::SyntaxError:
    case ErrorCode::UnexpectedEndOfInput:
    case ErrorCode::DuplicateField:
    case ErrorCode::MissingParentConfig:
    case ErrorCode::MissingParentUrl:
    case ErrorCode::InvalidPort:
    case ErrorCode::UnexpectedToken:
    case ErrorCode::MissingField:
    case ErrorCode::Overflow:
      return true;
    default:
      return false;
  }
}

// The text of `key` in `object` when it is a string there.
std::optional<std::string_view> text_member(const skerrow::JsonValue& object, std::string_view key) {
  const skerrow::JsonValue* v = skerrow::get_member(object, key);
  if (v == nullptr || !v->is_string()) return std::nullopt;
  return v->as_text();
}

void check_endpoint(const skerrow::ChainEndpoint& daemon, std::string_view url) {
  const auto split = skerrow::split_address(url);
  FUZZ_CHECK(split.has_value());
  FUZZ_CHECK(daemon.endpoint.host == split->host && daemon.endpoint.port == split->port);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<char> input(data, data + size);
  const std::string_view bytes(input.data(), input.size());
  auto parsed = skerrow::parse_json(bytes, std::pmr::new_delete_resource());
  auto config = skerrow::load_config_from_bytes(bytes);
  if (!input.empty()) std::memset(input.data(), 0, input.size());
  std::vector<char>().swap(input);

  if (!parsed) {
    FUZZ_CHECK(!config && config.error() == parsed.error());
    return 0;
  }
  if (!config) {
    FUZZ_CHECK(documented(config.error()));
    return 0;
  }

  // Every text read back from the parsed file, compared with an independent parse of it.
  const skerrow::JsonValue& root = parsed->root();
  FUZZ_CHECK(root.is_object());
  const skerrow::JsonValue* parent = skerrow::get_member(root, "parent");
  FUZZ_CHECK(parent != nullptr && parent->is_object());
  const auto url = text_member(*parent, "url");
  FUZZ_CHECK(url.has_value());
  check_endpoint(config->parent, *url);
  FUZZ_CHECK(config->parent.user == text_member(*parent, "user").value_or(""));
  FUZZ_CHECK(config->parent.pass == text_member(*parent, "pass").value_or(""));
  FUZZ_CHECK(config->parent_zmq_hashblock == text_member(*parent, "zmq_hashblock"));
  FUZZ_CHECK(config->listen == text_member(root, "listen").value_or(skerrow::kDefaultListen));
  FUZZ_CHECK(config->zmq_pub == text_member(root, "zmq_pub"));

  const skerrow::JsonValue* chains = skerrow::get_member(root, "aux_chains");
  const std::size_t count = chains == nullptr ? 0 : chains->items().size();
  FUZZ_CHECK(chains == nullptr || chains->is_array());
  FUZZ_CHECK(config->aux_chains.size() == count);
  FUZZ_CHECK(count <= skerrow::kMaxAuxChains);
  for (std::size_t i = 0; i < count; ++i) {
    const skerrow::JsonValue& element = chains->items()[i];
    const skerrow::AuxChainConfig& chain = config->aux_chains[i];
    const auto chain_url = text_member(element, "url");
    const auto chain_id = text_member(element, "chain_id");
    FUZZ_CHECK(chain_url && chain_id);
    FUZZ_CHECK(chain.chain_id == *chain_id);
    check_endpoint(chain.daemon, *chain_url);
    FUZZ_CHECK(chain.daemon.user == text_member(element, "user").value_or(""));
    FUZZ_CHECK(chain.daemon.pass == text_member(element, "pass").value_or(""));
    FUZZ_CHECK(chain.zmq_hashblock == text_member(element, "zmq_hashblock"));
    FUZZ_CHECK(chain.use_createauxblock == (text_member(element, "rpc_method") == "createauxblock"));
  }
  return 0;
}
