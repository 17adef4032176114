// The abstract language processor: its output block, its form levels and the
// process-wide map of global forms that every processor shares.
//
// Global forms and client text. A run of text that came from the client (a
// raw template request, a "#[" path; clientText set) reads every global form
// but never changes the process-wide map: it keeps a map of its own global
// forms (ownGlobals) that shadows the process-wide one by name.
//   1. A global form that the run is about to change or move (the lookups
//      "to change") is copied into ownGlobals first, that one form only; a
//      run never copies or walks the whole process-wide map.
//   2. A global form that the run creates ("=", "append") goes into
//      ownGlobals.
//   3. Every lookup of a global name asks ownGlobals first, so within its
//      run such a form behaves as a shared one would; ownGlobals is freed
//      with the processor, so no other run ever sees it.
// Pages and the start-up script (clientText false) share the process-wide
// map as before.
//
// Definitions give the strong guarantee: each new form or text is made in
// full before anything is replaced, so an allocation failure (std::bad_alloc)
// leaves the old form and every map as they were.
//
// Output block: one length-prefixed block (vekMalloc) holding a u64 length L
// (host byte order, little-endian on the supported platforms) and then L bytes.
// "out" stores a text and a final NUL that L counts; appendOutput adds raw bytes.
#pragma once
#include <map>
#include <string>

#include "Form.h"
#include "LanguageError.h"
#include "LanguageSwitches.h"
#include "VekTypes.h"

// Services both processors hold (remote client, connection pool, bases).
namespace VekClient {
class VEKClient;
}
namespace VekConnectionPool {
class VEKConnectionPool;
}
namespace VekBase {
class VEKBaseRegistry;
}

namespace VekLanguage {

// Forms by name; the map owns the forms.
using FormMap = std::map<std::string, Form*>;
// Level maps by level; the map owns the level maps.
using LevelMap = std::map<int64, FormMap*>;

// The process-wide form map; its forms are freed when the process exits.
class GlobalFormMap : public FormMap {
public:
    ~GlobalFormMap();
};

class LanguageProcessor {
public:
    LanguageProcessor();
    virtual ~LanguageProcessor();
    LanguageProcessor(const LanguageProcessor&) = delete;
    LanguageProcessor& operator=(const LanguageProcessor&) = delete;

    virtual void process() = 0;
    virtual bool run(int64 maxSteps) = 0;
    virtual void init(const std::string& program) = 0;
    virtual void setInput(const std::string& program) = 0;
    // The output block, null when nothing has been output.
    virtual u8* getOutput() { return output; }
    virtual bool isTrace() = 0;

    // Length of the output block's bytes (0 without a block).
    u64 outputLength() const;
    // The output bytes as a text (empty without a block).
    std::string outputText() const;
    // Appends raw bytes to the output block, creating it when needed.
    void appendOutput(const void* bytes, int64 length);
    // Replaces the output block by text and one NUL (no block for "").
    void setOutputText(const std::string& text);
    void freeOutput();

    // "=" (append false) and "append" (append true): change the nearest
    // visible level's form, else create a global form (for client text one
    // of its own); a global form that exists already is never changed.
    void defineForm(const std::string& name, const std::string& text, bool append);
    // ".=": a new form at that level, replacing one of the same name there.
    void defineFormAtLevel(const std::string& name, const std::string& text, int64 atLevel);
    // Deletes every form of that level and the level's entry.
    void removeLevel(int64 atLevel);
    // Deletes every level map and its forms; deleteMaps also frees levelForms.
    void clearLevelForms(bool deleteMaps);
    static void clearGlobalForms();

    // The visible form of that name (levels from `level` down to 0, each
    // with name and name + "(0)"), without the global map; null when none.
    Form* findLevelForm(const std::string& name) const;
    // As findLevelForm, but gives the level map and entry so that the form
    // can be removed; false when no visible level holds the name.
    bool findLevelEntry(const std::string& name, FormMap*& map, FormMap::iterator& entry) const;

    // The visible form for reading: the levels as findLevelForm, then the
    // global forms as this run sees them (name, then name + "(0)"); null
    // when none. Never copies anything.
    const Form* findVisibleForm(const std::string& name) const;
    // As findVisibleForm, for a form the caller is about to change or move:
    // a client run gets its own copy of a process-wide form (rule 1 above).
    Form* findFormToChange(const std::string& name);
    // True when this run sees a global form entry of exactly that name.
    bool hasGlobal(const std::string& name) const;
    // This run's own global forms (rule 2 above); null until it has one.
    const FormMap* ownGlobalForms() const { return ownGlobals; }

    u8* output = nullptr;                       // output block, null when nothing was output
    int64 level = 0;                            // current form level
    LevelMap* levelForms;                       // owned level maps, created empty
    // Set for a run of text that came from the client (a raw template
    // request, a "#[" path) rather than from the operator's own pages.
    bool clientText = false;
    static GlobalFormMap globalForms;                // process-wide forms, never redefined

protected:
    // Prints a notice that repeats page text (a form's name).
    virtual void printNotice(const std::string& text);
    // Called with the text size of a level form that a definition replaced
    // or removeLevel deleted: its bytes are no longer held.
    virtual void formReleased(const std::string& name, std::size_t size) {
        (void)name;
        (void)size;
    }
    // Called with a form's size before a client run copies that global form
    // into its own map; may throw to refuse the copy.
    virtual void beforeGlobalCopy(const std::string& name, std::size_t bytes) {
        (void)name;
        (void)bytes;
    }

private:
    // The global form of exactly that name as this run sees it; null when none.
    Form* findGlobal(const std::string& name) const;
    // form, found by findGlobal under name: the run's own form, copied into
    // ownGlobals first when it is a process-wide one (client runs only).
    Form* ownCopy(const std::string& name, Form* form);
    // ownGlobals, created when missing.
    FormMap& ownGlobalMap();

    FormMap* ownGlobals = nullptr;              // a client run's own global forms, owned; null until needed
};

}  // namespace VekLanguage
