#include "archive/support/msg.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace {

// The engine's rows, then the rows this platform adds (2031, 2033-2058, 3018, 3414, 3703, 3704,
// 3705, 3706, 5005). 2011 names its file, which the engine always passed but did not show.
const MsgDef ENGINE_MSGS[] = {
    {2000, "Tresmo.read.beginTxn.1", "Invalid begin transcaction record", false},
    {2001, "Tresmo.read.beginTxn.2", "Invalid begin transcaction record", false},
    {2002, "Tresmo.read.addNode.1", "Invalid add node record", false},
    {2003, "Tresmo.read.addNode.2", "Invalid add node record", false},
    {2004, "Tresmo.read.addNode.3", "Invalid add node record", false},
    {2005, "Tresmo.read.addNode.4", "Invalid add node record", false},
    {2006, "Tresmo.read.updNode.1", "Invalid update node record", false},
    {2007, "Tresmo.read.updNode.2", "Invalid update node record", false},
    {2008, "Tresmo.read.delSubtree.1", "Invalid delete subtree record", false},
    {2009, "Tresmo.read.delSubtree.2", "Invalid delete subtree record", false},
    {2010, "Tresmo.read.default", "Unknown record", false},
    {2011, "Tresmo.read.1", "Could not read Tresmo file {1}", false},
    {2012, "Tresmo.read.2", "Could not close Tresmo file", false},
    {2013, "Tresmo.findChanges", "Search for modified files in {1} failed", false},
    {2014, "Tresmo.Save.saveR.1", "Concurrent modification of file {1} detected", false},
    {2015, "Tresmo.save.1", "Could not save Tresmo", false},
    {2016, "Tresmo.save.2", "Could not close Tresmo", false},
    {2017, "Tresmo.Export.exportDir", "Could not create subfolder {2} of folder {1}", false},
    {2019, "Tresmo.Export.exportFile", "Could not export file {2} to folder {1} - path too long",
     false},
    {2020, "Tresmo.export.1", "Export failed", false},
    {2021, "Tresmo.export.2", "Could not close Tresmo", false},
    {2022, "Tresmo.importFile.1", "Concurrent modification detected", false},
    {2023, "Tresmo.importFile", "Could not import file {1}", false},
    {2024, "Tresmo.importDiff.1", "Concurrent modification detected", false},
    {2025, "Tresmo.importDiff", "Could not import changes of file {1}", false},
    {2026, "Tresmo.exportFile.1", "Invalid DIFF format", false},
    {2027, "Tresmo.exportFile.2", "CRC check failed", false},
    {2028, "Tresmo.exportFile", "Export of file {1} failed", false},
    {2029, "Tresmo.exportTempFile.1", "Export of temporary file failed", false},
    {2030, "Tresmo.exportTempFile.2", "Could not close Tresmo", false},
    {2031, "Tresmo.Export.checkName", "Invalid name in archive: {1}", false},
    {2032, "Tresmo.cancel", "Cancelled by the user", false},
    {2033, "Tresmo.save.catchUp",
     "Another program saved to {1} since it was read: refresh, then save again", false},
    {2034, "Tresmo.save.notRead",
     "Archive {1} could not be read whole; nothing is saved into it (verify shows what is "
     "damaged)",
     false},
    {2035, "Tresmo.Export.overlap", "Export to {1} refused - it would replace or lie inside {2}",
     false},
    {2036, "Tresmo.Export.place", "Could not put the exported copy in place as {1}", false},
    {2037, "Tresmo.Export.oldCopy",
     "Export complete, but the replaced copy left at {1} could not be deleted: {2}", false},
    {2038, "Tresmo.read.damaged",
     "Archive {1} is damaged at transaction {2} (offset {3}): only the transactions before it "
     "are read, and nothing is saved into it (verify shows what is damaged)",
     false},
    {2039, "Tresmo.save.leftOut", "File {1} was not saved - {2}; it stays pending", false},
    {2040, "Tresmo.save.ahead",
     "File {1} is saved with its modification time, {2} seconds ahead of the clock", false},
    {2041, "Tresmo.read.ahead",
     "Archive {1} holds a transaction at {2}, later than the clock ({3}): it is read, but "
     "nothing is saved into it until the clock has passed that time",
     false},
    {2042, "Tresmo.save.clockBehind",
     "Nothing is saved into {1} until the clock has passed {2}, the time of its newest "
     "transaction (it is {3} now)",
     false},
    {2043, "Tresmo.read.kind.1", "Invalid update node record - the watched folder stored as a file",
     false},
    {2044, "Tresmo.read.kind.2", "Invalid update node record - {1} stored beneath the file {2}",
     false},
    {2045, "Tresmo.rewrite.lost", "The stored version cannot be restored", false},
    {2046, "Tresmo.rewrite.1", "Could not rewrite archive {1} into {2}", false},
    {2047, "Tresmo.rewrite.exists", "{1} exists already; nothing is written", false},
    {2048, "Tresmo.rewrite.same", "{1} and {2} name the same archive; nothing is written", false},
    {2049, "Tresmo.rewrite.keep",
     "Nothing to keep: archive {1} holds no transaction at or after {2}; nothing is written",
     false},
    {2050, "Tresmo.rewrite.lostVersion",
     "The version of {1} saved at {2} cannot be restored and is left out", false},
    {2051, "Tresmo.rewrite.damaged",
     "Archive {1} is damaged from transaction {2} on: {3} transactions could be read only up to "
     "their damage, and {4} later records name what the damage lost; the rest is rewritten",
     false},
    {2052, "Tresmo.rewrite.unverified",
     "The rewritten archive {1} does not verify; the old one is left in place", false},
    {2053, "Tresmo.rewrite.rename", "Could not rename {1} to {2}", false},
    {2054, "Tresmo.read.meta",
     "Archive {1}: the file metadata of transaction {2} is refused ({3}); its files get the "
     "default permissions",
     false},
    {2055, "TxnMeta.read", "Invalid file metadata - {1}", false},
    {2056, "Tresmo.read.metaEntry",
     "Archive {1}: the file metadata of transaction {2} for {3} is ignored ({4}); it gets the "
     "default permissions",
     false},
    {2057, "Tresmo.read.metaMore", "Archive {1}: {2} more file metadata entries are ignored",
     false},
    {2058, "Tresmo.Export.link", "The stored target of symbolic link {1} is not a valid target",
     false},
    {2100, "FileSel.write", "Could not write file selection to file {1}", false},
    {2101, "FileSel.read", "Could not read file selection from file {1}", false},
    {3000, "StgFile.open.1", "Could not open storage file", false},
    {3001, "StgFile.open.2", "Could not determine size of storage file", false},
    {3002, "StgFile.open.3", "Storage file exceeds size limit", false},
    {3003, "StgFile.open.4", "Concurrent modification of storage file detected", false},
    {3004, "StgFile.commit.1", "Could not set storage file pointer", false},
    {3005, "StgFile.commit.2", "Could not set end of storage file", false},
    {3006, "StgFile.read.1", "Could not set storage file pointer", false},
    {3007, "StgFile.read.2", "Could not read storage file", false},
    {3008, "StgFile.write.1", "Storage file at size limit", false},
    {3009, "StgFile.write.2", "Could not set storage file pointer", false},
    {3010, "StgFile.write.3", "Could not write storage file", false},
    {3011, "StgFile.readFileHeader.1", "Invalid storage file", false},
    {3012, "StgFile.readFileHeader.2", "Invalid storage file", false},
    {3013, "StgFile.readFileHeader.3", "Invalid storage file", false},
    {3014, "StgFile.readFileHeader.4", "Invalid storage file type: {1}", false},
    {3015, "StgFile.readFileHeader.5", "Invalid storage file version: {1}", false},
    {3016, "StgFile.recover.1", "Storage file ends with an incomplete transaction of {1} bytes",
     false},
    {3017, "StgFile.recover.2", "Could not copy the incomplete transaction to file {1}", false},
    {3018, "StgFile.open.busy", "Archive {1} is in use by another program", false},
    {3100, "StgReader.read", "Invalid number format", false},
    {3200, "StgReadBuffer.get.1", "Invalid item data", false},
    {3201, "StgReadBuffer.get.2", "Invalid item data", false},
    {3202, "StgReadBuffer.readItemHeader.1", "Could not read item header", false},
    {3203, "StgReadBuffer.readItemHeader.2", "Invalid item header", false},
    {3204, "StgReadBuffer.readItemHeader.3", "Unexpected item type", false},
    {3205, "StgReadBuffer.readItemHeader.4", "Invalid item header", false},
    {3206, "StgReadBuffer.readBlockHeader.1", "Could not read block header", false},
    {3207, "StgReadBuffer.readBlockHeader.2", "Invalid block header", false},
    {3208, "StgReadBuffer.startBlock.1", "Could not read block header", false},
    {3209, "StgReadBuffer.startBlock.2", "Invalid block header", false},
    {3210, "StgReadBuffer.startBlock.3", "Could not read block data", false},
    {3211, "StgReadBuffer.shiftBuffer", "Could not read block data", false},
    {3212, "StgReadBuffer.updateCrc.1", "Could not read CRC value", false},
    {3213, "StgReadBuffer.updateCrc.2", "Invalid CRC format", false},
    {3214, "StgReadBuffer.updateCrc.3", "CRC check failed", false},
    {3300, "ObjFileWriter.open", "Could not open object file", false},
    {3301, "ObjFileWriter.flush", "Could not write object file", false},
    {3400, "ObjFileReader.open", "Could not open object file", false},
    {3402, "ObjFileReader.read.1.1", "Invalid string format", false},
    {3403, "ObjFileReader.read.1.2", "Invalid string format", false},
    {3404, "ObjFileReader.read.2.1", "Invalid number format", false},
    {3405, "ObjFileReader.read.2.2", "Invalid number format", false},
    {3406, "ObjFileReader.read.3", "Invalid boolean format", false},
    {3407, "ObjFileReader.end", "Unknown data in object file", false},
    {3408, "ObjFileReader.fill", "Could not read object file", false},
    {3409, "ObjFileReader.readHeader.1", "Invalid object file", false},
    {3410, "ObjFileReader.readHeader.2", "Invalid object file", false},
    {3411, "ObjFileReader.readHeader.3", "Invalid object file", false},
    {3412, "ObjFileReader.readHeader.4", "Invalid object file type: {1}", false},
    {3413, "ObjFileReader.readHeader.5", "Invalid object file version: {1}", false},
    {3414, "ObjFile.busy", "File {1} is in use by another program", false},
    {3500, "FileWriter.open", "Could not open file", false},
    {3501, "FileWriter.flush", "Could not write file", false},
    {3600, "FileReader.open.1", "Could not open file", false},
    {3601, "FileReader.open.2", "Could not determine size of file", false},
    {3602, "FileReader.open.3", "File size exceeds limit", false},
    {3603, "FileReader.open.4", "Could not determine modification time of file", false},
    {3604, "FileReader.fill", "Could not read file", false},
    {3700, "FileFinder.1", "Subfolder {1} of folder {2} skipped - path too long", false},
    {3701, "FileFinder.2", "File {2} in folder {1} skipped - exceeds the size limit", false},
    {3702, "FileFinder.3", "File {2} in folder {1} skipped - path too long", false},
    {3703, "FileFinder.4",
     "File {2} in folder {1} skipped - differs only in case from another name", false},
    {3704, "FileFinder.5", "Subfolder {1} of folder {2} skipped - it cannot be read", false},
    {3705, "FileFinder.6",
     "Folder {2} in folder {1} skipped - its name differs only in case from {3}", false},
    {3706, "FileFinder.7",
     "{1} in folder {2} skipped - it cannot be read; what is stored under its name is kept", false},
    {4000, "BitReader.shift", "Unexpected end of bit stream", false},
    {4100, "HCode.addNode", "Invalid Huffman code", false},
    {4101, "HCode.ReadTree.operator()", "Invalid Huffman code", false},
    {4102, "HCode.read", "Invalid Huffman data", false},
    {4200, "LzReader.seek.1", "Data block not found", false},
    {4201, "LzReader.seek", "Position in data not found: {1:08X}/{2}/{3}", false},
    {4202, "LzReader.read.1", "Next data block not found", false},
    {4203, "LzReader.read.2", "Invalid data pointer", false},
    {4204, "LzReader.read", "Uncompress failed: {1:08X}/{2}/{3}", false},
    {4300, "LzDecoder.getPointer.1", "Data pointer with invalid distance code", false},
    {4301, "LzDecoder.getPointer.2", "Data pointer with invalid length code", false},
    {5000, "delFile", "Could not delete file {1}", false},
    {5001, "delDir.1", "Folder path too long: {1}", false},
    {5002, "delDir.2", "Path too long: Subfolder {2} of folder {1}", false},
    {5003, "delDir.3", "Path too long: File {2} in folder {1}", false},
    {5004, "delDir.4", "Could not remove folder {1}", false},
    {5005, "TempFileList.clear.1", "Could not delete temporary file {1}", false},
};

constexpr size_t BUCKETS = 100;
constexpr size_t MAX_ID = 100;
constexpr size_t MAX_TEXT = 1000;

uint32_t hashId(const char* id) {
    uint32_t h = 0;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(id); *p; ++p)
        h = h * 33 + *p;
    return h;
}

// Buckets keep their rows in registration order, which is all the chained list of the
// original table guarantees: the first registered row of an id is found first.
struct MsgIndex {
    std::vector<const MsgDef*> buckets[BUCKETS];

    MsgIndex() { add(ENGINE_MSGS); }
    void add(std::span<const MsgDef> rows) {
        for (const MsgDef& row : rows)
            buckets[hashId(row.id) % BUCKETS].push_back(&row);
    }
    const MsgDef* find(const char* id) const {
        for (const MsgDef* row : buckets[hashId(id) % BUCKETS])
            if (std::strcmp(row->id, id) == 0) return row;
        return nullptr;
    }
};

// Filled before any other use and read-only afterwards; the mutex only guards registration.
MsgIndex& msgIndex() {
    static MsgIndex index;
    return index;
}
std::mutex registerMutex;

class StderrPresenter final : public Presenter {
  public:
    void showError(const Error& error) override {
        for (const Error* e = &error; e; e = e->cause.get())
            std::fprintf(stderr, "Error %d: %s\n", e->code, e->text.c_str());
    }
    void showMsgs(const MsgList& list) override {
        for (const Msg& m : list)
            std::fprintf(stderr, "Warning %d: %s\n", m.code, m.text.c_str());
    }
    void verifyFailed(const char* file, int line, const char* expr) override {
        std::fprintf(stderr, "Internal Error: Verification failed: %s(%d): %s\n", file, line, expr);
    }
};

StderrPresenter defaultPresenter;
Presenter* presenter = &defaultPresenter;

char classOf(char letter) {
    switch (letter) {
        case 'c':
        case 'd':
        case 'i':
        case 'u':
        case 'o':
        case 'x':
        case 'X':
            return 'd';
        case 'f':
        case 'e':
        case 'E':
        case 'g':
        case 'G':
            return 'f';
        case 'p':
            return 'p';
        case 's':
            return 's';
        default:
            return 0;
    }
}

bool validConversion(const std::string& conv, char kind) {
    // conv is "%" followed by flags, width and precision characters and one letter.
    for (size_t i = 1; i + 1 < conv.size(); ++i) {
        char c = conv[i];
        if (!std::strchr("-+ 0#.", c) && !(c >= '0' && c <= '9')) return false;
    }
    return conv.size() >= 2 && classOf(conv.back()) == kind;
}

void fill(Msg& m, const char* id, std::span<const MsgArg, 9> args) {
    const MsgDef* def = findMsgDef(id);
    std::string text;
    if (def && formatMsg(text, MAX_TEXT, def->text, args)) {
        m.code = def->code;
        m.id = id;
        m.text = std::move(text);
        m.hasHelp = def->hasHelp;
    }
}

}  // namespace

Error::Error(const Error& other) : Msg(other) {
    if (other.cause) cause = std::make_unique<Error>(*other.cause);
}

Error& Error::operator=(const Error& other) {
    if (this != &other) {
        Msg::operator=(other);
        cause = other.cause ? std::make_unique<Error>(*other.cause) : nullptr;
    }
    return *this;
}

std::string Error::chainText() const {
    std::string s;
    for (const Error* e = this; e; e = e->cause.get()) {
        if (!s.empty()) s += '\n';
        s += std::to_string(e->code) + ' ' + e->id + ": " + e->text;
    }
    return s;
}

bool Error::hasCode(int32_t c) const {
    for (const Error* e = this; e; e = e->cause.get())
        if (e->code == c) return true;
    return false;
}

void registerMsgs(std::span<const MsgDef> rows) {
    std::lock_guard lock(registerMutex);
    msgIndex().add(rows);
}

std::span<const MsgDef> engineMsgs() {
    return ENGINE_MSGS;
}

const MsgDef* findMsgDef(std::string_view id) {
    VERIFY(id.size() < MAX_ID);
    char buf[MAX_ID];
    std::memcpy(buf, id.data(), id.size());
    buf[id.size()] = 0;
    const MsgIndex& index = msgIndex();
    for (;;) {
        if (const MsgDef* row = index.find(buf)) return row;
        char* dot = std::strrchr(buf, '.');
        if (!dot) return nullptr;
        *dot = 0;
    }
}

bool formatMsg(std::string& out, size_t size, const char* text, std::span<const MsgArg, 9> args) {
    out.clear();
    for (const char* p = text; *p;) {
        if (*p != '{') {
            if (out.size() + 1 >= size) return false;  // keep room for the NUL
            out += *p++;
            continue;
        }
        ++p;
        if (*p < '1' || *p > '9') return false;
        const MsgArg& arg = args[*p - '1'];
        ++p;
        std::string conv = "%";
        if (*p == '}') {
            conv += arg.kind();
            ++p;
        } else if (*p == ':') {
            const char* end = std::strchr(p + 1, '}');
            if (!end || end == p + 1 || end - (p + 1) >= 20) return false;
            conv.append(p + 1, end);
            p = end + 1;
        } else {
            return false;
        }
        if (!validConversion(conv, arg.kind())) return false;
        size_t room = size - out.size();
        std::string piece(room, '\0');
        int n;
        switch (arg.kind()) {
            case 'd':
                n = std::snprintf(piece.data(), room, conv.c_str(), arg.asInt());
                break;
            case 's':
                n = std::snprintf(piece.data(), room, conv.c_str(), arg.asString());
                break;
            case 'p':
                n = std::snprintf(piece.data(), room, conv.c_str(), arg.asPointer());
                break;
            default:
                n = std::snprintf(piece.data(), room, conv.c_str(), arg.asDouble());
                break;
        }
        // The original's bounded print fails when the result does not fit with its NUL.
        if (n < 0 || static_cast<size_t>(n) >= room) return false;
        out.append(piece.data(), static_cast<size_t>(n));
    }
    return out.size() < size;
}

Msg makeMsg(const char* id, MsgArg a1, MsgArg a2, MsgArg a3, MsgArg a4, MsgArg a5, MsgArg a6,
            MsgArg a7, MsgArg a8, MsgArg a9) {
    const MsgArg args[9] = {a1, a2, a3, a4, a5, a6, a7, a8, a9};
    Msg m;
    fill(m, id, args);
    return m;
}

Error makeError(const char* id, MsgArg a1, MsgArg a2, MsgArg a3, MsgArg a4, MsgArg a5, MsgArg a6,
                MsgArg a7, MsgArg a8, MsgArg a9) {
    const MsgArg args[9] = {a1, a2, a3, a4, a5, a6, a7, a8, a9};
    Error e;
    fill(e, id, args);
    return e;
}

Error makeError(Error cause, const char* id, MsgArg a1, MsgArg a2, MsgArg a3, MsgArg a4, MsgArg a5,
                MsgArg a6, MsgArg a7, MsgArg a8, MsgArg a9) {
    Error e = makeError(id, a1, a2, a3, a4, a5, a6, a7, a8, a9);
    // The 9999 fallback (an id without a row, a text that failed to format) has no cause.
    if (e.code != 9999) e.cause = std::make_unique<Error>(std::move(cause));
    return e;
}

Error systemError() {
    return systemError(errno);
}

Error systemError(int err) {
    char buf[512];
    // The GNU strerror_r returns its text, which may or may not be in buf.
    const char* text = strerror_r(err, buf, sizeof buf);
    Error e;
    if (!text || !*text) return e;
    std::string s = text;
    if (s.size() >= 2 && s.compare(s.size() - 2, 2, "\r\n") == 0) s.resize(s.size() - 2);
    if (s.size() >= MAX_TEXT) return e;
    e.code = 9000;
    e.text = std::move(s);
    return e;
}

Presenter* installPresenter(Presenter* p) {
    Presenter* old = presenter;
    presenter = p ? p : &defaultPresenter;
    return old;
}

void showError(const Error& error) {
    presenter->showError(error);
}
void showMsgs(const MsgList& list) {
    presenter->showMsgs(list);
}

void verifyFailed(const char* file, int line, const char* expr) {
    const char* slash = std::strrchr(file, '/');
    presenter->verifyFailed(slash ? slash + 1 : file, line, expr);
    std::exit(1);
}
