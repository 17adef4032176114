// The processor base: output block, form levels and the global forms.
#include "LanguageProcessor.h"

#include <cstdio>
#include <cstring>
#include <memory>
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
    if (ownGlobals != nullptr) deleteForms(ownGlobals);
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

void LanguageProcessor::printNotice(const std::string& text) { std::fputs(text.c_str(), stdout); }

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

Form* LanguageProcessor::findGlobal(const std::string& name) const {
    if (ownGlobals != nullptr) {
        auto own = ownGlobals->find(name);
        if (own != ownGlobals->end()) return own->second;
    }
    auto shared = globalForms.find(name);
    return shared == globalForms.end() ? nullptr : shared->second;
}

bool LanguageProcessor::hasGlobal(const std::string& name) const {
    return (ownGlobals != nullptr && ownGlobals->count(name) != 0) || globalForms.count(name) != 0;
}

FormMap& LanguageProcessor::ownGlobalMap() {
    if (ownGlobals == nullptr) ownGlobals = new FormMap();
    return *ownGlobals;
}

Form* LanguageProcessor::ownCopy(const std::string& name, Form* form) {
    if (ownGlobals != nullptr && ownGlobals->count(name) != 0) return form;
    // The copy is whole before it enters the map: a failure leaves both
    // maps as they were.
    beforeGlobalCopy(name, form->text.size());
    std::unique_ptr<Form> copy(new Form(form->text));
    copy->pointer = form->pointer;
    ownGlobalMap().emplace(name, copy.get());
    return copy.release();
}

const Form* LanguageProcessor::findVisibleForm(const std::string& name) const {
    if (Form* form = findLevelForm(name)) return form;
    if (Form* form = findGlobal(name)) return form;
    return findGlobal(name + "(0)");
}

Form* LanguageProcessor::findFormToChange(const std::string& name) {
    if (Form* form = findLevelForm(name)) return form;
    if (Form* form = findGlobal(name)) return clientText ? ownCopy(name, form) : form;
    // Only the one name that is visible is ever copied.
    const std::string zero = name + "(0)";
    Form* form = findGlobal(zero);
    return clientText && form != nullptr ? ownCopy(zero, form) : form;
}

void LanguageProcessor::defineForm(const std::string& name, const std::string& text, bool append) {
    if (Form* form = findLevelForm(name)) {
        // Both give the strong guarantee: std::string changes nothing when
        // it throws.
        if (append) {
            form->append(text);
        } else {
            const std::size_t replaced = form->text.size();
            form->setText(text);
            formReleased(name, replaced);
        }
        return;
    }
    if (hasGlobal(name)) {
        printNotice("The global form \"" + std::string(name.c_str()) + "\" already exists!\n");
        return;
    }
    std::unique_ptr<Form> fresh(new Form(text));
    FormMap& forms = clientText ? ownGlobalMap() : globalForms;
    forms.emplace(name, fresh.get());
    fresh.release();
}

void LanguageProcessor::defineFormAtLevel(const std::string& name, const std::string& text,
                                          int64 atLevel) {
    // The new form is made before the old one goes, and the entries it needs
    // before anything is deleted: a failure leaves at most an empty level
    // map (or a null entry for it), which every reader accepts.
    std::unique_ptr<Form> fresh(new Form(text));
    FormMap*& forms = (*levelForms)[atLevel];
    if (forms == nullptr) forms = new FormMap();
    Form*& slot = (*forms)[name];
    if (slot != nullptr) {
        const std::size_t replaced = slot->text.size();
        delete slot;
        slot = nullptr;
        formReleased(name, replaced);
    }
    slot = fresh.release();
}

void LanguageProcessor::removeLevel(int64 atLevel) {
    auto it = levelForms->find(atLevel);
    if (it == levelForms->end() || it->second == nullptr) return;
    for (const auto& entry : *it->second)
        if (entry.second != nullptr) formReleased(entry.first, entry.second->text.size());
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
