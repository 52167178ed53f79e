// Where a save reads the content of a file it stores: the watched folder (a refresh's save) or
// another archive (a rewrite, which commits stored states instead of the folder's).
//
// The save asks for each file it stores when its turn comes, and may ask twice for the same
// file (a delta that does not pay is read again whole). What the source throws while the bytes
// are read is wrapped by the save as a failure to read that file.
#pragma once

#include "archive/storage/ByteSource.h"
#include "archive/storage/FileReader.h"
#include "archive/storage/LinkReader.h"
#include "archive/tree/TresmoData.h"

#include <memory>
#include <string>

class ContentSource {
  public:
    virtual ~ContentSource() = default;
    // The content of node, found at path (the folder's path; messages name it); not yet open.
    virtual std::unique_ptr<ByteSource> content(const Node* node, const std::string& path,
                                                size_t bufSize) = 0;
    // Whether the bytes are the folder's as they are now. A file written in the refresh's own
    // second may still change; stored versions never do, whatever their times.
    virtual bool live() const { return false; }
    // Whether a source that is not live stores node's newest stored content again, its
    // permission bits alone changed (a live source's save tells by the file's time).
    virtual bool reuses(const Node*) const { return false; }
};

class FolderSource final : public ContentSource {
  public:
    std::unique_ptr<ByteSource> content(const Node* node, const std::string& path,
                                        size_t bufSize) override {
        // A link the scan saw is stored as its target, never read through.
        if (node->mode & LINK_MODE) return std::make_unique<LinkReader>(path);
        return std::make_unique<FileReader>(path, bufSize);
    }
    bool live() const override { return true; }
};
