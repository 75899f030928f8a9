#include "BVFinderExtension/FinderAgent.h"

namespace {

int hexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

FinderSelection selectionOf(const std::vector<std::string>& fields, size_t targetIndex) {
    FinderSelection selection;
    if (fields.size() > targetIndex)
        selection.targetedFolder = fields[targetIndex];
    for (size_t i = targetIndex + 1; i < fields.size(); ++i)
        selection.selectedItems.push_back(fields[i]);
    return selection;
}

}  // namespace

std::string FinderAgent::escapeField(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
            case '%':
                out += "%25";
                break;
            case '\t':
                out += "%09";
                break;
            case '\r':
                out += "%0D";
                break;
            case '\n':
                out += "%0A";
                break;
            default:
                out += c;
        }
    }
    return out;
}

std::string FinderAgent::unescapeField(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && hexValue(text[i + 1]) >= 0 &&
            hexValue(text[i + 2]) >= 0) {
            out += static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2]));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

std::vector<std::string> FinderAgent::splitFields(const std::string& line) {
    std::vector<std::string> fields;
    size_t start = 0;
    while (true) {
        size_t tab = line.find('\t', start);
        fields.push_back(unescapeField(line.substr(start, tab - start)));
        if (tab == std::string::npos)
            break;
        start = tab + 1;
    }
    return fields;
}

std::string FinderAgent::joinFields(const std::vector<std::string>& fields) {
    std::string line;
    for (size_t i = 0; i < fields.size(); ++i) {
        if (i)
            line += '\t';
        line += escapeField(fields[i]);
    }
    return line;
}

std::optional<FinderSync::MenuKind> FinderAgent::kindNamed(const std::string& name) {
    using Kind = FinderSync::MenuKind;
    if (name == "items")
        return Kind::Items;
    if (name == "container")
        return Kind::Container;
    if (name == "sidebar")
        return Kind::Sidebar;
    if (name == "toolbar")
        return Kind::Toolbar;
    return std::nullopt;
}

std::vector<std::string> FinderAgent::menuLines(const FinderMenu& menu) {
    std::vector<std::string> lines{joinFields({"title", menu.title})};
    for (const auto& item : menu.items) {
        if (item.separator)
            lines.push_back("separator");
        else
            lines.push_back(joinFields(
                {item.enabled ? "item" : "disabled", item.enabled ? item.action : "", item.title}));
    }
    return lines;
}

std::vector<std::string> FinderAgent::handleLine(const std::string& line) {
    auto fields = splitFields(line);
    const std::string& verb = fields[0];
    if ((verb == "observe-begin" || verb == "observe-end") && fields.size() == 2) {
        if (verb == "observe-begin")
            finder_.beginObservingDirectoryAtURL(fields[1]);
        else
            finder_.endObservingDirectoryAtURL(fields[1]);
        return {"ok"};
    }
    if (verb == "menu" && fields.size() >= 3) {
        auto kind = kindNamed(fields[1]);
        if (!kind)
            return {joinFields({"error", "unknown menu kind " + fields[1]})};
        auto lines = menuLines(finder_.menuForMenuKind(*kind, selectionOf(fields, 2)));
        lines.push_back("end");
        return lines;
    }
    if (verb == "action" && fields.size() >= 3) {
        if (!finder_.performAction(fields[1], selectionOf(fields, 2)))
            return {joinFields({"error", "unknown action " + fields[1]})};
        return {"ok"};
    }
    if (verb == "root" && fields.size() == 1)
        return {joinFields({"root", finder_.drivePath()})};
    return {joinFields({"error", "bad request"})};
}
