// The page qs-view serves: HTML with its script and style, built into the
// program from page.html.
#pragma once

#include <string>

namespace QSView {

std::string PageText();

}  // namespace QSView
