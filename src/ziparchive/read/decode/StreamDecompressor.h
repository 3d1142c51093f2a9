#pragma once

#include <cstddef>
#include <span>

// One compression method's decompressor, as the streaming loop (DecodeStream) drives it: it is
// handed the entry's stored bytes a piece at a time, reads them in place, and fills an output
// buffer each turn. One per entry.
class StreamDecompressor {
public:
    enum class Outcome {
        Going,    // more to come
        Ended,    // the stream ended where it should
        Damaged,  // the data is not a sound stream of the method
        NoMemory, // the library could not get what it needs to decode
    };
    struct Step {
        Outcome outcome = Outcome::Going;
        std::size_t produced = 0;
        const char* problem = nullptr; // what went wrong, when the generic words would not do
    };

    // `dataName` is how messages call the data: "the <name> data is damaged".
    explicit StreamDecompressor(const char* dataName) : m_dataName(dataName) {}
    virtual ~StreamDecompressor() = default;
    StreamDecompressor(const StreamDecompressor&) = delete;
    StreamDecompressor& operator=(const StreamDecompressor&) = delete;

    const char* DataName() const { return m_dataName; }
    // The next piece of the stored bytes, which must stay put until InputLeft() is 0. An empty
    // piece says the stored bytes have ended.
    void Give(std::span<const char> input) {
        m_input = input;
        m_inputEnded = input.empty();
    }
    std::size_t InputLeft() const { return m_input.size(); }
    // Decodes what it can into `output`.
    virtual Step Decode(char* output, std::size_t capacity) = 0;

protected:
    // What is left of the piece; a decoder takes off the front what it has read.
    std::span<const char> Input() const { return m_input; }
    void Consume(std::size_t length) { m_input = m_input.subspan(length); }
    bool InputEnded() const { return m_inputEnded; }

private:
    const char* m_dataName;
    std::span<const char> m_input;
    bool m_inputEnded = false;
};
