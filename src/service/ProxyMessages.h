// The header blocks the endpoint writes: requests forwarded to a site,
// responses forwarded to the browser, and the endpoint's own short answers.
// Hop-by-hop fields (Connection and the fields it names, Keep-Alive,
// Proxy-Connection, Proxy-Authorization, Proxy-Authenticate, TE, Trailer,
// Transfer-Encoding, Upgrade) never pass; the framing fields
// (Content-Length, Transfer-Encoding) are written anew for the framing the
// endpoint actually uses.
#pragma once

#include <boost/beast/http/fields.hpp>
#include <cstdint>
#include <string>
#include <string_view>

namespace service {

enum class Framing {
  kNone,        // no body
  kLength,      // Content-Length bytes
  kChunked,     // chunked transfer coding
  kUntilClose,  // the body ends when the connection does
};

struct BodyFraming {
  Framing kind = Framing::kNone;
  std::uint64_t length = 0;  // for kLength
};

// Whether a field stays behind: hop-by-hop, or listed by the message's
// Connection fields (`connection_names`, lower case, comma-separated), or
// Content-Length, which is written anew from the framing.
bool IsNotForwarded(std::string_view name, std::string_view connection_names);

// The lower-case names listed by all Connection fields, separated by commas.
std::string ConnectionNames(const boost::beast::http::fields& fields);

// Whether the message's Transfer-Encoding fields, taken together, are
// exactly "chunked" (ignoring case and blanks).
bool IsChunkedOnly(const boost::beast::http::fields& fields);
bool HasTransferEncoding(const boost::beast::http::fields& fields);

// "METHOD origin-form HTTP/1.1", Host first, the end-to-end fields in their
// order, then framing and connection fields.
std::string ForwardedRequestHeader(std::string_view method, std::string_view origin_form,
                                   std::string_view host, const boost::beast::http::fields& fields,
                                   const BodyFraming& framing, bool keep_alive);

// "HTTP/1.1 status reason", the end-to-end fields, framing, and a
// Connection field when the endpoint will close (or, for an HTTP/1.0
// browser, keep open). `keep_length` passes the site's Content-Length on
// for a response without a body (to HEAD, or 304), where it only informs.
std::string ForwardedResponseHeader(unsigned status, std::string_view reason,
                                    const boost::beast::http::fields& fields,
                                    const BodyFraming& framing, bool keep_alive,
                                    bool browser_http11, bool keep_length = false);

// A whole response of the endpoint's own: a short HTML page naming the
// status and the one-line reason. Always "Connection: close".
std::string LocalResponse(int status, std::string_view reason);

// The 503 for a request that came while anonymity is not ready: what
// happened and how to get back, with `reason` as its last line.
std::string NotReadyResponse(std::string_view reason);

// The standard phrase for the statuses the endpoint sends ("Bad Gateway").
std::string_view StatusPhrase(int status);

std::string HtmlEscape(std::string_view text);

}  // namespace service
