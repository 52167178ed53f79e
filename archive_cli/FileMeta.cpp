#include "archive_cli/FileMeta.h"

#include "archive_cli/Session.h"

#include "archive/os/os.h"
#include "archive/support/paths.h"

#include <cstdio>
#include <fcntl.h>

namespace cli {

std::string storedTarget(Session& s, const Node* node, const Version* v) {
    const ContentInfo* c = v && v->isLink() ? v->content() : nullptr;
    if (!c) return "";
    std::string target;
    s.archive().restore(*c, s.relPath(node), [&](std::span<const uint8_t> bytes) {
        target.append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    });
    return target;
}

std::string scannedTarget(Session& s, const Node* node) {
    char path[MAX_PATH], buf[4096];
    if (!(node->mode & LINK_MODE) || !s.archive().printPath(path, sizeof path, node)) return "";
    const ssize_t n = os::sys().readlinkat(AT_FDCWD, path, buf, sizeof buf);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : "";
}

std::string modeText(uint16_t bits, NodeKind kind, bool always) {
    if (!always && (kind == NodeKind::Absent || bits == defaultMode(kind))) return "";
    char text[8];
    std::snprintf(text, sizeof text, "%04o", bits & 07777);
    return text;
}

std::string metaSuffix(const std::string& target, const std::string& mode) {
    if (!target.empty()) return " -> " + escapedName(target);
    return mode.empty() ? "" : " (mode " + mode + ")";
}

}  // namespace cli
