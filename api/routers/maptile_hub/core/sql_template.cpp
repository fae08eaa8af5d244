// sql_template.cpp: filling the named holes of a statement.
#include "sql_template.hpp"

#include <stdexcept>
#include <vector>

namespace vexa::tiles {

std::string fill(std::string_view statement, std::initializer_list<Hole> holes) {
    std::vector<bool> used(holes.size(), false);
    std::string out;
    out.reserve(statement.size() + 256);
    size_t at = 0;
    while (at < statement.size()) {
        const size_t open = statement.find('{', at);
        if (open == std::string_view::npos) break;
        const size_t close = statement.find('}', open);
        if (close == std::string_view::npos) throw std::logic_error("unclosed hole in a statement");
        const std::string_view name = statement.substr(open + 1, close - open - 1);
        size_t i = 0;
        for (const Hole& hole : holes) {
            if (hole.first == name) break;
            ++i;
        }
        if (i == holes.size()) throw std::logic_error("no text for the hole {" + std::string(name) + "}");
        used[i] = true;
        out.append(statement.substr(at, open - at));
        out.append(std::data(holes)[i].second);
        at = close + 1;
    }
    out.append(statement.substr(at));
    size_t i = 0;
    for (const Hole& hole : holes)
        if (!used[i++]) throw std::logic_error("the statement has no hole {" + std::string(hole.first) + "}");
    return out;
}

}  // namespace vexa::tiles
