// Boost.Beast's request turned into the routes' HttpRequest: the target split
// into path and query and percent-decoded, header names in lower case.
#pragma once

#include <boost/beast/http.hpp>
#include <string>

#include "http/message.h"

namespace collector {

HttpRequest fromBeast(boost::beast::http::request<boost::beast::http::string_body>&& request,
                      const std::string& clientAddress);

}  // namespace collector
