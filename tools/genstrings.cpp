// SPDX-License-Identifier: GPL-3.0-or-later
// Build-time tool: compiles resources/strings.tsv into a sorted constexpr table.
// Each line of the table is "id<TAB>text"; the text uses the escapes \n, \t and \\.
// Bad lines, unknown escapes and duplicate ids stop the build with a message.
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <string>

int main(int argc, char** argv) {
    if (argc != 3) {
        std::cerr << "usage: genstrings IN.tsv OUT.inc\n";
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    if (!in) {
        std::cerr << "genstrings: cannot read " << argv[1] << "\n";
        return 1;
    }
    std::map<long, std::string> table;
    std::string line;
    int lineNo = 0;
    while (std::getline(in, line)) {
        ++lineNo;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line[0] == '#') continue;
        auto tab = line.find('\t');
        if (tab == std::string::npos || tab == 0) {
            std::cerr << argv[1] << ":" << lineNo << ": expected id<TAB>text\n";
            return 1;
        }
        std::string idText = line.substr(0, tab);
        if (idText.find_first_not_of("0123456789") != std::string::npos) {
            std::cerr << argv[1] << ":" << lineNo << ": bad id '" << idText << "'\n";
            return 1;
        }
        long id = std::stol(idText);
        std::string raw = line.substr(tab + 1), out;
        for (size_t i = 0; i < raw.size(); ++i) {
            char c = raw[i];
            if (c == '\\') {
                char n = i + 1 < raw.size() ? raw[i + 1] : '\0';
                if (n == 'n')
                    out += "\\n";
                else if (n == 't')
                    out += "\\t";
                else if (n == '\\')
                    out += "\\\\";
                else {
                    std::cerr << argv[1] << ":" << lineNo << ": unknown escape\n";
                    return 1;
                }
                ++i;
            } else if (c == '"') {
                out += "\\\"";
            } else if (c == '?') {
                out += "\\?";  // no trigraphs, no surprises
            } else if (static_cast<unsigned char>(c) < 0x20) {
                std::cerr << argv[1] << ":" << lineNo << ": control character in text\n";
                return 1;
            } else {
                out += c;
            }
        }
        if (!table.emplace(id, out).second) {
            std::cerr << argv[1] << ":" << lineNo << ": id " << id << " appears twice\n";
            return 1;
        }
    }
    std::ostringstream os;
    os << "// Generated from resources/strings.tsv. Do not edit.\n";
    for (auto& [id, text] : table) os << "    {" << id << ", \"" << text << "\"},\n";
    // Only rewrite when changed, so an unchanged table does not rebuild everything.
    std::ifstream old(argv[2], std::ios::binary);
    std::stringstream oldText;
    oldText << old.rdbuf();
    if (old && oldText.str() == os.str()) return 0;
    std::ofstream out(argv[2], std::ios::binary | std::ios::trunc);
    out << os.str();
    return out ? 0 : 1;
}
