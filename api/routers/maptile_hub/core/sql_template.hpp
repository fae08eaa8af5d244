// sql_template.hpp: SQL statements written whole, with named holes filled in at one place.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>

namespace vexa::tiles {

/// One hole's name (without its braces) and the text it is filled with.
using Hole = std::pair<std::string_view, std::string_view>;

/// `statement` with every "{name}" replaced by the text given for `name`. A hole without a
/// text, or a text without its hole, means the statement and its caller disagree: that is a
/// programming error, thrown as std::logic_error naming the hole. The texts are inserted as
/// they are: only catalogue identifiers and numbers may fill a hole, never request input.
std::string fill(std::string_view statement, std::initializer_list<Hole> holes);

}  // namespace vexa::tiles
