#include "web/router.h"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include "common/text.h"
#include "web/mvc_exceptions.h"
#include "web/string_utils.h"

namespace ostrivan::web {

// Bounds for one match, so that no request path (at most 16 KiB, the longest request
// line) can make a route expression run away; hitting a bound counts as no match.
namespace {
constexpr std::uint32_t kRouteMatchLimit = 1'000'000;
constexpr std::uint32_t kRouteDepthLimit = 10'000;
constexpr std::uint32_t kRouteHeapLimitKiB = 32 * 1024;

// What "($name)" becomes: any run of characters that may appear in a path segment.
constexpr const char* kParamGroup = R"(([ àèéùòì'"@\[\]\{\}\(\)\=;&#\.:!\_,%\w\d\x2D\x3A\$]*))";

bool IsNameChar(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
}

// Names of "($name)" in order of appearance.
std::vector<std::string> FindParamNames(const std::string& route_path) {
  std::vector<std::string> names;
  std::size_t pos = 0;
  while ((pos = route_path.find("($", pos)) != std::string::npos) {
    std::size_t end = pos + 2;
    while (end < route_path.size() && IsNameChar(route_path[end])) ++end;
    if (end > pos + 2 && end < route_path.size() && route_path[end] == ')') {
      names.push_back(route_path.substr(pos + 2, end - pos - 2));
      pos = end + 1;
    } else {
      pos += 1;
    }
  }
  return names;
}

void ReplaceAll(std::string& text, const std::string& from, const std::string& to) {
  std::size_t pos = 0;
  while ((pos = text.find(from, pos)) != std::string::npos) {
    text.replace(pos, from.size(), to);
    pos += to.size();
  }
}

// The first media type of a header value: text before the first ",", then before ";".
std::string_view FirstMediaType(std::string_view value) {
  value = value.substr(0, value.find(','));
  return value.substr(0, value.find(';'));
}

bool HasContent(TMVCHTTPMethodType method) {
  return !(method == httpGET || method == httpDELETE || method == httpHEAD || method == httpOPTIONS);
}
}  // namespace

struct TMVCRouteExpression {
  pcre2_code* code = nullptr;
  ~TMVCRouteExpression() { pcre2_code_free(code); }
};

TMVCActionParamCacheItem::TMVCActionParamCacheItem(std::string value, std::vector<std::string> params)
    : value_(std::move(value)), params_(std::move(params)) {
  std::string pattern = "^" + value_ + "$";
  int error_code = 0;
  PCRE2_SIZE error_offset = 0;
  // UTF so the parameter class holds whole characters; the subject is the prepared path,
  // which is plain ASCII.
  pcre2_code* code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern.data()), pattern.size(),
                                   PCRE2_CASELESS | PCRE2_DOTALL | PCRE2_UTF | PCRE2_MATCH_INVALID_UTF, &error_code,
                                   &error_offset, nullptr);
  if (code == nullptr) {
    PCRE2_UCHAR buffer[256];
    pcre2_get_error_message(error_code, buffer, sizeof buffer);
    compile_error_ = "Invalid route expression [" + value_ + "]: " + reinterpret_cast<const char*>(buffer) + " at " +
                     std::to_string(error_offset);
    return;
  }
  expression_ = std::make_unique<TMVCRouteExpression>();
  expression_->code = code;
}

TMVCActionParamCacheItem::~TMVCActionParamCacheItem() = default;

const TMVCRouteExpression& TMVCActionParamCacheItem::Expression() const {
  if (!expression_) throw EMVCException(compile_error_);
  return *expression_;
}

const TMVCActionParamCacheItem* TMVCActionParamsCache::GetValue(const std::string& route_path) const {
  std::shared_lock lock(lock_);
  auto it = items_.find(route_path);
  return it == items_.end() ? nullptr : it->second.get();
}

const TMVCActionParamCacheItem* TMVCActionParamsCache::Add(const std::string& route_path,
                                                           std::unique_ptr<TMVCActionParamCacheItem> item) {
  std::unique_lock lock(lock_);
  auto [it, inserted] = items_.try_emplace(route_path, std::move(item));
  return it->second.get();
}

std::size_t TMVCActionParamsCache::Count() const {
  std::shared_lock lock(lock_);
  return items_.size();
}

TMVCActionParamsCache& GlobalActionParamsCache() {
  static TMVCActionParamsCache cache;
  return cache;
}

std::mutex& RoutingLock() {
  static std::mutex lock;
  return lock;
}

std::string PrepareRoutePath(std::string_view path) {
  std::string prepared;
  if (Trim(path).empty()) {
    prepared = "/";
  } else if (!path.starts_with('/')) {
    prepared = "/" + std::string(path);
  } else {
    prepared = std::string(path);
  }
  prepared = Trim(prepared);

  static constexpr std::string_view kEscaped = "*<>#%\"{}|\\^[]`+";
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string encoded;
  encoded.reserve(prepared.size());
  for (std::size_t i = 0; i < prepared.size(); ++i) {
    char c = prepared[i];
    auto code = static_cast<unsigned char>(c);
    if (c == '%' && i + 2 < prepared.size() && IsHexDigit(static_cast<unsigned char>(prepared[i + 1])) &&
        IsHexDigit(static_cast<unsigned char>(prepared[i + 2]))) {
      encoded.append(prepared, i, 3);
      i += 2;
    } else if (code <= 32 || code >= 128 || kEscaped.find(c) != std::string_view::npos) {
      // Bytes of a multi-byte character are escaped one by one: the same as escaping
      // the character's UTF-8 form.
      encoded.push_back('%');
      encoded.push_back(kHex[code >> 4]);
      encoded.push_back(kHex[code & 15]);
    } else {
      encoded.push_back(c);
    }
  }
  return encoded;
}

TMVCRouter::TMVCRouter(const TMVCConfig& config, TMVCActionParamsCache& action_params_cache)
    : config_(config), action_params_cache_(action_params_cache) {}

TMVCHTTPMethodType TMVCRouter::StringMethodToHTTPMetod(std::string_view value) {
  static constexpr std::pair<std::string_view, TMVCHTTPMethodType> kTable[] = {
      {"GET", httpGET},     {"POST", httpPOST}, {"PUT", httpPUT},         {"DELETE", httpDELETE},
      {"PATCH", httpPATCH}, {"HEAD", httpHEAD}, {"OPTIONS", httpOPTIONS}, {"TRACE", httpTRACE}};
  for (const auto& [name, method] : kTable) {
    if (value == name) return method;
  }
  throw EMVCException("Unknown HTTP method [" + std::string(value) + "]");
}

bool TMVCRouter::ExecuteRouting(std::string_view request_path_info, TMVCHTTPMethodType request_method_type,
                                std::string_view request_content_type, std::string_view request_accept,
                                const std::vector<std::unique_ptr<TMVCControllerDelegate>>& controllers,
                                const std::string& default_content_type, const std::string& default_content_charset,
                                const std::string& path_prefix, TMVCRequestParamsTable& request_params,
                                std::string& response_content_media_type, std::string& response_content_charset) {
  method_to_call_ = nullptr;
  controller_clazz_ = nullptr;
  controller_create_action_ = nullptr;
  response_content_media_type.clear();
  response_content_charset.clear();
  const std::string request_path = PrepareRoutePath(request_path_info);
  std::lock_guard routing(RoutingLock());

  for (const auto& delegate : controllers) {
    const TMVCControllerClass& clazz = *delegate->Clazz;
    std::vector<std::string> class_paths;
    if (!delegate->URLSegment.empty()) {
      class_paths.push_back(delegate->URLSegment);
    } else {
      if (clazz.attributes.empty()) continue;
      for (const auto& attribute : clazz.attributes) {
        if (attribute.kind == TMVCAttributeKind::Path) class_paths.push_back(attribute.value);
      }
      if (class_paths.empty()) {
        throw EMVCException("Controller " + clazz.class_name + " does not have MVCPath attribute");
      }
    }

    for (std::string class_path : class_paths) {
      if (class_path == "/") class_path.clear();
      const std::string base = path_prefix + class_path;
      if (!StartsWithText(request_path, base)) continue;

      const TMVCActionDescriptor* found = nullptr;
      clazz.ForEachAction([&](const TMVCActionDescriptor& action) {
        if (found != nullptr || action.attributes.empty()) return;
        for (const auto& attribute : action.attributes) {
          if (attribute.kind != TMVCAttributeKind::Path) continue;
          if (!IsHTTPMethodAllowed(action, request_method_type) ||
              !IsHTTPContentTypeAllowed(action, request_method_type, request_content_type) ||
              !IsHTTPAcceptAllowed(action, request_accept)) {
            continue;
          }
          if (MatchRoute(base + attribute.value, request_path, request_params)) {
            found = &action;
            return;
          }
        }
      });
      if (found == nullptr) continue;

      method_to_call_ = found;
      controller_clazz_ = delegate->Clazz;
      controller_create_action_ = delegate->CreateAction;
      const TMVCAttribute* produces = nullptr;
      for (const auto& attribute : found->attributes) {
        if (attribute.kind == TMVCAttributeKind::Produces) {
          produces = &attribute;
          break;
        }
      }
      if (produces != nullptr) {
        response_content_media_type = produces->value;
        response_content_charset = produces->charset;
      } else {
        response_content_media_type = default_content_type;
        response_content_charset = default_content_charset;
      }
      return true;
    }
  }
  return false;
}

bool TMVCRouter::IsHTTPMethodAllowed(const TMVCActionDescriptor& action, TMVCHTTPMethodType method) const {
  const TMVCAttribute* last = nullptr;
  for (const auto& attribute : action.attributes) {
    if (attribute.kind == TMVCAttributeKind::HTTPMethods) last = &attribute;
  }
  return last == nullptr || last->methods.Contains(method);
}

bool TMVCRouter::IsHTTPContentTypeAllowed(const TMVCActionDescriptor& action, TMVCHTTPMethodType method,
                                          std::string_view content_type) const {
  if (!HasContent(method)) return true;
  bool declared = false;
  std::string_view first = FirstMediaType(content_type);
  for (const auto& attribute : action.attributes) {
    if (attribute.kind != TMVCAttributeKind::Consumes) continue;
    declared = true;
    if (SameText(first, attribute.value)) return true;
  }
  return !declared;
}

bool TMVCRouter::IsHTTPAcceptAllowed(const TMVCActionDescriptor& action, std::string_view accept) const {
  if (accept.find("*/*") != std::string_view::npos) return true;
  bool declared = false;
  std::string_view first = FirstMediaType(accept);
  for (const auto& attribute : action.attributes) {
    if (attribute.kind != TMVCAttributeKind::Produces) continue;
    declared = true;
    if (SameText(first, attribute.value)) return true;
  }
  return !declared;
}

const TMVCActionParamCacheItem& TMVCRouter::CacheItemFor(const std::string& route_path) {
  if (const auto* item = action_params_cache_.GetValue(route_path)) return *item;
  std::vector<std::string> names = FindParamNames(route_path);
  std::string body = route_path;
  for (const auto& name : names) ReplaceAll(body, "($" + name + ")", kParamGroup);
  return *action_params_cache_.Add(route_path,
                                   std::make_unique<TMVCActionParamCacheItem>(std::move(body), std::move(names)));
}

bool TMVCRouter::MatchRoute(const std::string& route_path, const std::string& request_path,
                            TMVCRequestParamsTable& request_params) {
  const TMVCActionParamCacheItem& item = CacheItemFor(route_path);
  if (request_path == route_path || (request_path == "/" && route_path.empty())) return true;

  const TMVCRouteExpression& expression = item.Expression();
  struct MatchResources {
    pcre2_match_context* context = pcre2_match_context_create(nullptr);
    pcre2_match_data* data = nullptr;
    ~MatchResources() {
      pcre2_match_data_free(data);
      pcre2_match_context_free(context);
    }
  } resources;
  if (resources.context == nullptr) throw std::bad_alloc();
  pcre2_set_match_limit(resources.context, kRouteMatchLimit);
  pcre2_set_depth_limit(resources.context, kRouteDepthLimit);
  pcre2_set_heap_limit(resources.context, kRouteHeapLimitKiB);
  resources.data = pcre2_match_data_create_from_pattern(expression.code, nullptr);
  if (resources.data == nullptr) throw std::bad_alloc();

  int rc = pcre2_match(expression.code, reinterpret_cast<PCRE2_SPTR>(request_path.data()), request_path.size(), 0, 0,
                       resources.data, resources.context);
  if (rc <= 0) return false;  // no match, or a limit reached: not this route

  PCRE2_SIZE* ovector = pcre2_get_ovector_pointer(resources.data);
  std::uint32_t pairs = pcre2_get_ovector_count(resources.data);
  const auto& names = item.Params();
  for (std::uint32_t group = 1; group < pairs && group <= names.size(); ++group) {
    PCRE2_SIZE start = ovector[2 * group];
    PCRE2_SIZE end = ovector[2 * group + 1];
    std::string text = start == PCRE2_UNSET ? std::string() : request_path.substr(start, end - start);
    request_params.insert_or_assign(names[group - 1], PercentDecode(text));
  }
  return true;
}

std::string TMVCRouter::GetQualifiedActionName() const {
  if (controller_clazz_ == nullptr || method_to_call_ == nullptr) return {};
  return controller_clazz_->QualifiedClassName() + "." + method_to_call_->name;
}

}  // namespace ostrivan::web
