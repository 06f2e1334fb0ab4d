#include "service/ProxyMessages.h"

#include <array>
#include <boost/beast/http/status.hpp>

namespace service {
namespace http = boost::beast::http;
namespace {

constexpr std::array<std::string_view, 10> kNotForwarded = {"connection",
                                                            "keep-alive",
                                                            "proxy-connection",
                                                            "proxy-authorization",
                                                            "proxy-authenticate",
                                                            "te",
                                                            "trailer",
                                                            "transfer-encoding",
                                                            "upgrade",
                                                            "content-length"};

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

// Calls `each` with every non-empty, trimmed element of a comma list.
template <typename Each>
void ForEachListElement(std::string_view list, Each each) {
  while (!list.empty()) {
    const std::size_t comma = list.find(',');
    const std::string_view element = Trim(list.substr(0, comma));
    if (!element.empty()) each(element);
    if (comma == std::string_view::npos) break;
    list.remove_prefix(comma + 1);
  }
}

void AppendFields(std::string& out, const http::fields& fields, std::string_view skip_also,
                  bool keep_length = false) {
  const std::string connection_names = ConnectionNames(fields);
  for (const auto& field : fields) {
    const std::string_view name(field.name_string().data(), field.name_string().size());
    const bool length = field.name() == http::field::content_length;
    if (!(keep_length && length) && IsNotForwarded(name, connection_names)) continue;
    if (!skip_also.empty() && Lower(name) == skip_also) continue;
    out.append(name).append(": ");
    out.append(field.value().data(), field.value().size()).append("\r\n");
  }
}

void AppendFraming(std::string& out, const BodyFraming& framing) {
  switch (framing.kind) {
    case Framing::kLength:
      out += "Content-Length: " + std::to_string(framing.length) + "\r\n";
      break;
    case Framing::kChunked:
      out += "Transfer-Encoding: chunked\r\n";
      break;
    case Framing::kNone:
    case Framing::kUntilClose:
      break;
  }
}

std::string Page(int status, std::string_view title, std::string_view body_html) {
  std::string page = "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>" +
                     std::string(title) +
                     "</title>\n<style>body{font-family:sans-serif;max-width:40em;margin:3em auto;"
                     "line-height:1.4}</style></head>\n<body>\n" +
                     std::string(body_html) + "</body></html>\n";
  std::string out = "HTTP/1.1 " + std::to_string(status) + " " + std::string(StatusPhrase(status)) +
                    "\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: " +
                    std::to_string(page.size()) +
                    "\r\nCache-Control: no-store\r\nConnection: close\r\n";
  if (status == 503) out += "Retry-After: 10\r\n";
  out += "\r\n";
  out += page;
  return out;
}

}  // namespace

bool IsNotForwarded(std::string_view name, std::string_view connection_names) {
  const std::string lower = Lower(name);
  for (std::string_view hop : kNotForwarded) {
    if (lower == hop) return true;
  }
  bool listed = false;
  ForEachListElement(connection_names, [&](std::string_view element) {
    if (element == lower) listed = true;
  });
  return listed;
}

std::string ConnectionNames(const http::fields& fields) {
  std::string names;
  for (const auto& field : fields) {
    if (field.name() != http::field::connection) continue;
    ForEachListElement(std::string_view(field.value().data(), field.value().size()),
                       [&](std::string_view element) {
                         if (!names.empty()) names += ',';
                         names += Lower(element);
                       });
  }
  return names;
}

bool HasTransferEncoding(const http::fields& fields) {
  return fields.find(http::field::transfer_encoding) != fields.end();
}

bool IsChunkedOnly(const http::fields& fields) {
  int codings = 0;
  bool chunked = false;
  for (const auto& field : fields) {
    if (field.name() != http::field::transfer_encoding) continue;
    ForEachListElement(std::string_view(field.value().data(), field.value().size()),
                       [&](std::string_view element) {
                         ++codings;
                         chunked = Lower(element) == "chunked";
                       });
  }
  return codings == 1 && chunked;
}

std::string ForwardedRequestHeader(std::string_view method, std::string_view origin_form,
                                   std::string_view host, const http::fields& fields,
                                   const BodyFraming& framing, bool keep_alive) {
  std::string out;
  out.reserve(512);
  out.append(method).append(" ").append(origin_form).append(" HTTP/1.1\r\nHost: ");
  out.append(host).append("\r\n");
  AppendFields(out, fields, "host");
  AppendFraming(out, framing);
  if (!keep_alive) out += "Connection: close\r\n";
  out += "\r\n";
  return out;
}

std::string ForwardedResponseHeader(unsigned status, std::string_view reason,
                                    const http::fields& fields, const BodyFraming& framing,
                                    bool keep_alive, bool browser_http11, bool keep_length) {
  std::string out;
  out.reserve(512);
  out += "HTTP/1.1 " + std::to_string(status) + " ";
  if (reason.empty()) {
    const auto phrase = http::obsolete_reason(static_cast<http::status>(status));
    out.append(phrase.data(), phrase.size());
  } else {
    out.append(reason);
  }
  out += "\r\n";
  AppendFields(out, fields, {}, keep_length && framing.kind == Framing::kNone);
  AppendFraming(out, framing);
  if (!keep_alive) {
    out += "Connection: close\r\n";
  } else if (!browser_http11) {
    out += "Connection: keep-alive\r\n";
  }
  out += "\r\n";
  return out;
}

std::string LocalResponse(int status, std::string_view reason) {
  const std::string title = std::to_string(status) + " " + std::string(StatusPhrase(status));
  return Page(status, "Nimbra: " + title,
              "<h1>" + title + "</h1>\n<p>Nimbra did not load this page: " + HtmlEscape(reason) +
                  ".</p>\n");
}

std::string NotReadyResponse(std::string_view reason) {
  return Page(503, "Nimbra: anonymity is not active",
              "<h1>Anonymity is not active</h1>\n"
              "<p>This page was not loaded, and nothing was sent: Nimbra's anonymous connection "
              "is not ready yet, or it stopped unexpectedly.</p>\n"
              "<p>To go on anonymously, start Nimbra, wait until it shows that it is ready, and "
              "reload this page.</p>\n"
              "<p>To browse without Nimbra, switch the proxies off with ProxyRevert.</p>\n"
              "<p><small>" +
                  HtmlEscape(reason) + ".</small></p>\n");
}

std::string_view StatusPhrase(int status) {
  switch (status) {
    case 400:
      return "Bad Request";
    case 408:
      return "Request Timeout";
    case 414:
      return "URI Too Long";
    case 431:
      return "Request Header Fields Too Large";
    case 501:
      return "Not Implemented";
    case 502:
      return "Bad Gateway";
    case 503:
      return "Service Unavailable";
    case 504:
      return "Gateway Timeout";
    default: {
      const auto phrase = http::obsolete_reason(static_cast<http::status>(status));
      return std::string_view(phrase.data(), phrase.size());
    }
  }
}

std::string HtmlEscape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '&':
        out += "&amp;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

}  // namespace service
