#include "BVApi/Content/BVVolumePath.h"

#include <algorithm>

namespace {

std::vector<std::string_view> pieces(std::string_view path) {
    std::vector<std::string_view> out;
    size_t start = 0;
    while (start <= path.size()) {
        size_t slash = path.find('/', start);
        if (slash == std::string_view::npos)
            slash = path.size();
        if (slash > start)
            out.push_back(path.substr(start, slash - start));
        start = slash + 1;
    }
    return out;
}

std::string_view withoutTrailingSlashes(std::string_view path) {
    while (path.size() > 1 && path.back() == '/')
        path.remove_suffix(1);
    return path;
}

}  // namespace

std::vector<std::string> BVVolumePath::components(std::string_view path) {
    std::vector<std::string> out;
    if (path.empty())
        return out;
    if (path.front() == '/')
        out.emplace_back("/");
    for (auto piece : pieces(path))
        out.emplace_back(piece);
    if (path.size() > 1 && path.back() == '/')
        out.emplace_back("/");
    return out;
}

size_t BVVolumePath::leadingComponents(std::string_view path, std::string_view* out, size_t max) {
    size_t count = 0;
    auto put = [&](std::string_view piece) {
        if (count < max)
            out[count] = piece;
        ++count;
        return count < max;
    };
    if (path.empty() || max == 0)
        return 0;
    if (path.front() == '/' && !put(path.substr(0, 1)))
        return count;
    size_t start = 0;
    while (start < path.size()) {
        size_t slash = path.find('/', start);
        if (slash == std::string_view::npos)
            slash = path.size();
        if (slash > start && !put(path.substr(start, slash - start)))
            return count;
        start = slash + 1;
    }
    if (path.size() > 1 && path.back() == '/')
        put(path.substr(path.size() - 1));
    return std::min(count, max);
}

size_t BVVolumePath::componentCount(std::string_view path) {
    if (path.empty())
        return 0;
    size_t count = path.front() == '/' ? 1 : 0;
    bool inPiece = false;
    for (char c : path) {
        if (c == '/') {
            inPiece = false;
        } else if (!inPiece) {
            inPiece = true;
            ++count;
        }
    }
    if (path.size() > 1 && path.back() == '/')
        ++count;
    return count;
}

std::string BVVolumePath::lastComponent(std::string_view path) {
    path = withoutTrailingSlashes(path);
    if (path == "/")
        return "/";
    auto slash = path.rfind('/');
    return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

std::string BVVolumePath::parent(std::string_view path) {
    path = withoutTrailingSlashes(path);
    auto slash = path.rfind('/');
    if (slash == std::string_view::npos)
        return "";
    std::string_view head = withoutTrailingSlashes(path.substr(0, slash + 1));
    return head.empty() ? "/" : std::string(head);
}

std::string BVVolumePath::appending(std::string_view path, std::string_view name) {
    while (!name.empty() && name.front() == '/')
        name.remove_prefix(1);
    std::string out(withoutTrailingSlashes(path));
    if (out.empty())
        return std::string(name);
    if (out.back() != '/')
        out.push_back('/');
    out.append(name);
    return out;
}

std::string BVVolumePath::standardized(std::string_view path) {
    std::vector<std::string_view> kept;
    for (auto piece : pieces(path)) {
        if (piece == ".")
            continue;
        if (piece == "..") {
            if (!kept.empty())
                kept.pop_back();
            continue;
        }
        kept.push_back(piece);
    }
    const bool absolute = !path.empty() && path.front() == '/';
    std::string out;
    for (auto piece : kept) {
        if (absolute || !out.empty())
            out.push_back('/');
        out.append(piece);
    }
    if (out.empty() && absolute)
        out = "/";
    return out;
}
