// The processor base: output block, form levels and the global forms.
#include "LanguageProcessor.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "VekAlloc.h"

namespace VekLanguage {

GlobalFormMap LanguageProcessor::globalForms;

GlobalFormMap::~GlobalFormMap() {
    for (auto& entry : *this) delete entry.second;
}

namespace {

// Size of the length field at the start of the output block.
constexpr u32 LengthField = sizeof(u64);

void deleteForms(FormMap* forms) {
    for (auto& entry : *forms) delete entry.second;
    delete forms;
}

// The entry of name in forms (a non-null form), else of name + "(0)".
bool findInMap(FormMap* forms, const std::string& name, FormMap::iterator& entry) {
    entry = forms->find(name);
    if (entry != forms->end() && entry->second != nullptr) return true;
    entry = forms->find(name + "(0)");
    return entry != forms->end() && entry->second != nullptr;
}

}  // namespace

LanguageProcessor::LanguageProcessor() : levelForms(new LevelMap()) {}

LanguageProcessor::~LanguageProcessor() {
    freeOutput();
    clearLevelForms(true);
}

u64 LanguageProcessor::outputLength() const {
    if (output == nullptr) return 0;
    u64 length;
    std::memcpy(&length, output, sizeof length);
    return length;
}

std::string LanguageProcessor::outputText() const {
    if (output == nullptr) return std::string();
    return std::string(reinterpret_cast<const char*>(output) + LengthField, outputLength());
}

void LanguageProcessor::appendOutput(const void* bytes, int64 length) {
    // Nothing to add: a block exists afterwards all the same (an empty one).
    if (length < 0 || (length == 0 && output != nullptr)) return;
    u64 old = outputLength();
    u64 total = old + static_cast<u64>(length);
    // The block's size field is 32 bits wide; refuse output that cannot fit.
    if (total + LengthField > 0xFFFFFFFFull) throw LanguageError("Output block too large");
    // Output as large as a page may make can fail to fit in memory: the
    // run fails, the block stays as it was.
    void* grown = vekTryRealloc(output, static_cast<u32>(LengthField + total));
    if (grown == nullptr) throw std::bad_alloc();
    output = static_cast<u8*>(grown);
    std::memcpy(output, &total, sizeof total);
    if (length > 0) std::memcpy(output + LengthField + old, bytes, static_cast<std::size_t>(length));
}

void LanguageProcessor::setOutputText(const std::string& text) {
    freeOutput();
    if (text.empty()) return;
    appendOutput(text.c_str(), static_cast<int64>(text.size()) + 1);  // with its NUL
}

void LanguageProcessor::freeOutput() {
    if (output != nullptr) vekFree(&output);
}

bool LanguageProcessor::findLevelEntry(const std::string& name, FormMap*& map,
                                       FormMap::iterator& entry) const {
    if (level < 0) return false;
    // Walk only the levels that exist, from the current one down to 0, so a
    // huge level number costs nothing.
    auto it = levelForms->upper_bound(level);
    while (it != levelForms->begin()) {
        --it;
        if (it->first < 0) return false;
        if (it->second != nullptr && findInMap(it->second, name, entry)) {
            map = it->second;
            return true;
        }
    }
    return false;
}

Form* LanguageProcessor::findLevelForm(const std::string& name) const {
    FormMap* map;
    FormMap::iterator entry;
    return findLevelEntry(name, map, entry) ? entry->second : nullptr;
}

void LanguageProcessor::defineForm(const std::string& name, const std::string& text, bool append) {
    if (Form* form = findLevelForm(name)) {
        if (append)
            form->append(text);
        else
            form->setText(text);
        return;
    }
    if (globalForms.count(name) != 0) {
        std::printf("The global form \"%s\" already exists!\n", name.c_str());
        return;
    }
    globalForms[name] = new Form(text);
}

void LanguageProcessor::defineFormAtLevel(const std::string& name, const std::string& text,
                                          int64 atLevel) {
    FormMap*& forms = (*levelForms)[atLevel];
    if (forms == nullptr) forms = new FormMap();
    Form*& slot = (*forms)[name];
    delete slot;
    slot = new Form(text);
}

void LanguageProcessor::removeLevel(int64 atLevel) {
    auto it = levelForms->find(atLevel);
    if (it == levelForms->end() || it->second == nullptr) return;
    deleteForms(it->second);
    levelForms->erase(it);
}

void LanguageProcessor::clearLevelForms(bool deleteMaps) {
    if (levelForms == nullptr) return;
    for (auto& entry : *levelForms)
        if (entry.second != nullptr) deleteForms(entry.second);
    levelForms->clear();
    if (deleteMaps) {
        delete levelForms;
        levelForms = nullptr;
    }
}

void LanguageProcessor::clearGlobalForms() {
    for (auto& entry : globalForms) delete entry.second;
    globalForms.clear();
}

}  // namespace VekLanguage
