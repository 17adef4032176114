// A form: the named text unit of the template language (its variables and
// macros), with a read pointer that pages move to treat it as a string cursor.
// Segment marks are the two bytes 0xFF and n inside the text (parameter n).
#pragma once
#include <cstddef>
#include <string>

namespace VekLanguage {

class Form {
public:
    // The byte that opens a two-byte segment mark.
    static constexpr char SegmentMark = '\xFF';

    Form() = default;
    explicit Form(const std::string& text) : text(text) {}
    virtual ~Form() = default;

    // Replaces the text; the pointer returns to 0.
    void setText(const std::string& newText);
    // Appends to the text; the pointer stays.
    void append(const std::string& more);
    // The text from the pointer to the end (empty at or past the end).
    std::string rest() const;
    // Number of UTF-8 characters of the whole text; throws VekUtf8 errors.
    std::size_t length() const;

    // Replaces each occurrence of from, never searching replaced text again.
    // An empty from changes nothing.
    void replaceAll(const std::string& from, const std::string& to);
    // Replaces each occurrence of from in text by to, each search starting
    // after the text just inserted; true when one was found. An empty from
    // matches nothing.
    static bool replaceIn(std::string& text, const std::string& from, const std::string& to);
    // The size text would have after replaceIn (text, from, to).
    static std::size_t sizeAfterReplaceIn(const std::string& text, const std::string& from, const std::string& to);
    // Replaces the first occurrence of from (searched from offset 0).
    void replaceFirst(const std::string& from, const std::string& to);

    // The byte at the pointer; pointer + 1. Throws "No contents".
    char nextChar();
    // Bytes up to the next stop byte; the pointer moves past the two-byte
    // mark, or to the end when there is none. Throws "No contents".
    std::string nextUntil(char stop);
    // Pointer just after the next s. Throws "No contents" / "No string".
    void skipPast(const std::string& s);
    void resetPointer() { pointer = 0; }
    std::size_t getPointer() const { return pointer; }
    // Pointer = position, at most the length (unsigned comparison).
    void setPointer(std::size_t position);
    // The next n UTF-8 characters (all the rest for a negative n).
    // Throws "No contents", "Invalid pointer" and VekUtf8 errors.
    std::string nextChars(int n);
    // Text before the pointer.
    std::string before() const;
    // Text from the pointer on; std::out_of_range when it is past the end.
    std::string after() const;
    // Pointer to the start of the next s; false (pointer kept) when absent.
    bool find(const std::string& s);
    // As find, comparing bytes folded with tolower.
    bool findIgnoreCase(const std::string& s);
    // Text between the next start and the following end; pointer after end.
    // Throws "No contents", "Invalid pointer", "No " + start, "No " + end.
    std::string between(const std::string& start, const std::string& end);

    std::string text;         // the form's bytes, possibly with segment marks
    std::size_t pointer = 0;  // read pointer: a byte offset into text
};

}  // namespace VekLanguage
