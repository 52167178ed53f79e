// The new files of a save, read a few ahead of their turn and coded on a second thread.
//
// Most files of a first save are smaller than one block, and one block is coded by one thread,
// so the save codes two files at a time instead. At each turn this thread reads the next new
// files (up to WINDOW of them, each of at most one block) into memory; the worker codes the
// newest of them into items held in memory, and at a file's turn the save appends its coded
// item to the archive, or codes the file itself when the worker has not taken it. The two
// threads thus meet somewhere in the window, each coding as much as it can, and the items
// land in the archive in the save's order, the bytes a save without read-ahead writes.
//
// Every file is read on the calling thread, so the system calls of a save come in the same
// order in every run. What goes wrong while a file is read ahead is kept for its turn: the
// save then fails at that file, with the message it would give without the read-ahead. A file
// larger than one block is closed again and left to its turn.
#pragma once

#include "archive/codec/LzEncoder.h"
#include "archive/storage/StgWriteBuffer.h"
#include "archive/support/Worker.h"
#include "archive/tree/TresmoData.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class ContentSource;
class StgFile;

class ReadAhead {
  public:
    // Wide enough for the worker to run well ahead of the save's own thread, which also reads
    // every file and appends every item: 16 left the worker idle now and then (a first save
    // of 100,000 files took 4% longer), 128 gained nothing over 64. At most 4 MiB read ahead.
    static constexpr size_t WINDOW = 64;

    struct File {
        Node* node;
        std::string path;
    };
    // files: the new files in the order the save stores them, read from source.
    ReadAhead(std::vector<File> files, ContentSource& source);
    ~ReadAhead();
    ReadAhead(const ReadAhead&) = delete;
    ReadAhead& operator=(const ReadAhead&) = delete;

    // At the turn of node, stored at path: true when it was read ahead and is now stored in
    // file, with c its content as the save records it; false when the caller stores it. Throws
    // what reading or storing the file failed with, as importFile does.
    bool take(const Node* node, const char* path, StgFile& file, ContentInfo& c);

  private:
    enum State : int { READ, CODING, CODED, OWN, LEFT };
    struct Slot {
        const File* file;
        std::atomic<int> state = READ;
        std::exception_ptr failure;  // reading or coding
        std::vector<uint8_t> bytes;
        ContentInfo content;                   // size, time and CRC as read
        std::unique_ptr<StgWriteBuffer> item;  // coded, not yet in the file
    };
    // Forwards the worker's encoder output to the item being coded.
    class Relay final : public BlockWriter {
      public:
        BlockWriter* to = nullptr;
        void putLast(uint8_t byte, int validBits) override { to->putLast(byte, validBits); }
        void putByte(uint8_t byte) override { to->putByte(byte); }
        void setFlags(uint8_t flags) override { to->setFlags(flags); }
        void putBits(const uint8_t* data, uint32_t bitCount) override {
            to->putBits(data, bitCount);
        }
    };

    void fill();
    void read(Slot& s);
    void codeLeft();  // on the worker

    std::vector<File> _files;
    ContentSource& _source;
    size_t _turn = 0;                // the next file whose turn comes
    size_t _read = 0;                // the next file to read
    std::mutex _mutex;               // guards _window's shape and the claims of its slots
    std::condition_variable _coded;  // a slot the worker coded; with _mutex
    std::deque<std::unique_ptr<Slot>> _window;  // _files[_turn .. _read)
    Relay _relay;
    LzEncoder _lz{_relay, false};  // the worker's
    Relay _ownRelay;
    LzEncoder _ownLz{_ownRelay, false};  // the save's own thread's
    // The worker does not spin for the next file: a job ends when it has caught up with the
    // save's reading, and a spin then took 9% of a first save's processor time from the threads
    // that code the larger files and read the next ones.
    Worker _worker{std::chrono::microseconds(0)};  // last: stopped before what it works on
};
