// A Huffman code over 2^symBits symbols, built from symbol weights and transmitted in the
// stream in front of the data that uses it.
//
// The tree is built without a length limit, so codes can be longer than 30 bits; such codes
// are written with their first 30 branch bits as one value and the rest one bit at a time.
// Decoding resolves every code up to tableBits (symBits + 2) bits with one table lookup and
// continues bit by bit from the node the table gives for longer codes.
//
// All arrays are fixed members sized for 8-bit symbols; nothing is allocated. The writer and
// reader are set by the owner and not owned. A failed readTree or read leaves the code unusable
// until the next readTree or reset.
#pragma once

#include "archive/codec/BitReader.h"
#include "archive/codec/BitWriter.h"

#include <cstdint>

class HCode {
  public:
    static constexpr uint16_t NONE = 0xFFFF;
    static constexpr int MAX_CODE_BITS = 30;
    // Decoding table entry: a leaf as symbol | length << 8, or INTERNAL | node for a node
    // reached after exactly tableBits bits.
    static constexpr uint16_t INTERNAL = 0x8000;

    explicit HCode(int symBits);

    void setWriter(BitWriter* writer) { _writer = writer; }
    void setReader(BitReader* reader) { _reader = reader; }

    // Leaves 0..size-1 with weight 0 and no links; no internal nodes.
    void reset();
    void addWeight(int symbol, int32_t n = 1) { _weight[symbol] += n; }
    void setWeight(int symbol, int32_t w) { _weight[symbol] = w; }
    // Builds the tree from the leaf weights, then the code words and the decoding table.
    void build();

    void writeTree();
    // Replaces the code by one read from the reader: 4000, 4100 or 4101 on a bad tree.
    void readTree();

    void write(int symbol) {
        if (_length[symbol] <= MAX_CODE_BITS)
            _writer->put(_code[symbol], _length[symbol]);
        else
            writeLong(symbol);
    }
    // Decodes one symbol: 4000 when the stream ends inside the code.
    int read();

    // Estimated saving of the code in percent.
    double gain() const;
    // True when the gain is at least 2.5 percent, decided in integers; never for a code
    // without weights.
    bool pays() const;

    int size() const { return _size; }
    int symBits() const { return _symBits; }
    int tableBits() const { return _tableBits; }
    int root() const { return _root; }
    bool singleSymbol() const { return _root < _size; }
    int nodeCount() const { return _nodeCount; }
    int32_t weight(int node) const { return _weight[node]; }
    uint32_t codeWord(int symbol) const { return _code[symbol]; }
    int codeLength(int symbol) const { return _length[symbol]; }
    uint16_t child(int node, int bit) const { return _child[node][bit]; }
    const uint16_t* decodeTable() const { return _fast; }

  private:
    void costs(int64_t& fixed, int64_t& coded) const;
    int addNode();
    void readTreeNodes();
    void makeTables();
    void writeLong(int symbol);

    int _size;
    int _maxNodes;
    int _symBits;
    int _tableBits;
    int _root = 0;
    int _nodeCount = 0;
    int32_t _weight[512];
    uint16_t _parent[512];
    uint16_t _child[512][2];
    uint32_t _code[256];
    int32_t _length[256];
    uint16_t _fast[1024];
    BitWriter* _writer = nullptr;
    BitReader* _reader = nullptr;
};
