/* The C API of tesmo._chain, for modules that read and fill its chains
 * without a Python call per choice. Header-only for consumers: nothing is
 * linked; the table of functions comes from a capsule at run time.
 *
 *     const TesmoChainAPI *api = (const TesmoChainAPI *)PyCapsule_Import(TESMO_CHAIN_CAPSULE, 0);
 *     if (api == NULL || api->version < TESMO_CHAIN_API_VERSION) ... no direct path
 *
 * `tesmo.bag` re-exports the capsule as `tesmo.bag._C_API`, so a module that
 * has imported `tesmo.bag` can take it from there without another import.
 *
 * Rules for every function:
 * - Called with the GIL held. Object arguments are borrowed.
 * - Functions returning int give 0 on success and -1 with a Python exception
 *   set; functions returning a pointer give NULL with an exception set. No
 *   function swallows or replaces an exception raised by Python code.
 * - `chain` must be an instance (exact or subclass) of ChainType and `bag` of
 *   BagType; check with PyObject_TypeCheck or Py_IS_TYPE first. A writer
 *   that wants the methods of the pure-Python protocol honoured takes the
 *   direct path only for the exact types.
 * - Pointers into a chain or a bag (ids, borrowed values) stay valid only
 *   until Python code runs: any call of a Python object, a decref that may
 *   free one, or an allocation of a GC object. Compare the stamps before and
 *   after such a call to notice a chain or bag that changed.
 * - The filling functions store a start, or a value of a next start, given
 *   as a list (a JSON array as a parser builds it) as the equal tuple, and
 *   every list within it too, as the methods add_to_bag, set_bag and add do:
 *   a reader may hand over what it parsed.
 * - Ids are the vocabulary ids of values. A chain and the bags it made share
 *   one vocabulary; a bag installed with set_bag is moved into the chain's
 *   vocabulary. A bag may still have another vocabulary (it was installed
 *   in a second chain later): compare the vocabulary pointers.
 */
#ifndef TESMO_CHAIN_API_H
#define TESMO_CHAIN_API_H

#include <Python.h>
#include <stdint.h>

#define TESMO_CHAIN_CAPSULE "tesmo._chain._C_API"
#define TESMO_CHAIN_API_VERSION 3

/* The choices of one start as a chain keeps them: what a ProbabilityBag
   holds, with or without the bag object. Opaque. */
typedef struct TesmoBlock TesmoBlock;

/* A reader's build of a chain's content (see build_new). Opaque. */
typedef struct TesmoBuild TesmoBuild;
#define TESMO_BUILD_REPLACE 0
#define TESMO_BUILD_MERGE 1
#define TESMO_BUILD_DIRECT 2

/* One choice of a bag, as bag_choice reports it. */
typedef struct {
    const uint32_t* ids;    /* the next start's values, as ids of the bag's vocabulary */
    Py_ssize_t length;      /* number of ids */
    int64_t count;          /* the count, when count_object is NULL */
    PyObject* count_object; /* borrowed; the count when it is not a machine integer */
} TesmoChoice;

/* The frequency mapping of a chain, as build_frequency_dict gives it. */
typedef struct {
    Py_ssize_t length;       /* number of distinct values */
    PyObject** values;       /* owned references, in first-seen order */
    Py_ssize_t* frequencies; /* frequencies[i] is the frequency of values[i] */
    uint32_t* entry_of_id;   /* per id of the chain's vocabulary: index into values, or UINT32_MAX */
    Py_ssize_t id_bound;     /* entries in entry_of_id */
} TesmoFrequencies;

/* The frequency mapping of a chain by id, as chain_id_frequencies gives it:
   per entry (a class of equal values) the id of its first-seen value. */
typedef struct {
    Py_ssize_t length;       /* number of entries, in first-seen order */
    uint32_t* ids;           /* ids[i]: the id of the value of entry i */
    Py_ssize_t* frequencies; /* frequencies[i]: the frequency of entry i */
    uint32_t* entry_of_id;   /* per id of the chain's vocabulary: its entry, or UINT32_MAX */
    Py_ssize_t id_bound;     /* entries in entry_of_id */
} TesmoIdFrequencies;

/* The records of a block, read in place by block_records: valid only until
   Python code runs or the block changes. Choice i begins at word
   `offsets[i]` of `records`, or at `i * (count_words + width)` when
   `offsets` is NULL; its first `count_words` words are its count (one word:
   an int32_t; two: an int64_t, low word first), then come its ids: `width`
   of them, or `offsets[i + 1] - offsets[i] - count_words`. Where
   `count_objects` is not NULL and holds an object for choice i, that object
   (borrowed) is the count and the words hold 0. */
typedef struct {
    Py_ssize_t size;                /* number of choices */
    const uint32_t* records;        /* NULL when size is 0 */
    const uint32_t* offsets;        /* size + 1 words, or NULL */
    Py_ssize_t width;               /* ids per choice when offsets is NULL */
    int count_words;                /* 1 or 2 */
    PyObject* const* count_objects; /* NULL, or per choice a count object or NULL */
} TesmoRecords;

typedef struct {
    unsigned int version; /* TESMO_CHAIN_API_VERSION of the module */
    unsigned int size;    /* sizeof(TesmoChainAPI) of the module; later versions only append */
    PyTypeObject* ChainType;
    PyTypeObject* BagType;

    /* ---- reading (writers) ---- */

    /* Number of starts: len(chain). */
    Py_ssize_t (*chain_length)(PyObject* chain);
    /* Changes whenever a start is added or the chain is cleared. */
    uint64_t (*chain_stamp)(PyObject* chain);
    /* The chain's vocabulary (borrowed), created if the chain has none yet; NULL on error. */
    PyObject* (*chain_vocabulary)(PyObject* chain);
    /* Entry `index` (0 <= index < chain_length) in insertion order: the
       start's id in the chain's vocabulary, the start and the bag (both
       borrowed). The bag is whatever set_bag installed: check its type.
       A chain keeps a start's choices without a bag object until one is
       asked for; this makes it (Python code may run, as for any
       allocation), and the chain keeps it from then on.
       IndexError for an index out of range. */
    int (*chain_entry)(PyObject* chain, Py_ssize_t index, uint32_t* start_id, PyObject** start, PyObject** bag);

    /* Number of choices: bag.unique_count. */
    Py_ssize_t (*bag_length)(PyObject* bag);
    /* Changes whenever a choice is added or the bag's ids change. */
    uint64_t (*bag_stamp)(PyObject* bag);
    /* The bag's vocabulary (borrowed), or NULL without an exception for a
       bag that never held a choice. */
    PyObject* (*bag_vocabulary)(PyObject* bag);
    /* Choice `index` in insertion order; IndexError out of range. */
    int (*bag_choice)(PyObject* bag, Py_ssize_t index, TesmoChoice* out);

    /* The value of a live id (borrowed); KeyError for a free or unknown id. */
    PyObject* (*vocabulary_value)(PyObject* vocabulary, uint32_t id);
    /* Every id of the vocabulary is below this bound. */
    Py_ssize_t (*vocabulary_bound)(PyObject* vocabulary);

    /* The chain's frequency mapping, computed natively: the same values,
       frequencies and order as build_frequency_dict. Returns 0 and fills
       `out` (release it with frequencies_free), 1 without touching `out`
       when the chain holds a bag that is not an exact ProbabilityBag of its
       vocabulary (use build_frequency_dict then), -1 on error. Python code
       may run (hashing and comparing values that are not plain). */
    int (*chain_frequencies)(PyObject* chain, TesmoFrequencies* out);
    void (*frequencies_free)(TesmoFrequencies* frequencies);

    /* ---- filling (readers) ---- */

    /* chain.clear() */
    int (*chain_clear)(PyObject* chain);
    /* chain.add_to_bag(start, values, count=count) with the next start given
       as `length` values: the start and its bag are created when absent; a
       bag that is not an exact ProbabilityBag gets bag.add(tuple, count). */
    int (*chain_add)(PyObject* chain, PyObject* start, PyObject* const* values, Py_ssize_t length, PyObject* count);
    /* A new empty bag (new reference); given a chain, it shares the chain's
       vocabulary, so that chain_set_bag need not move it. */
    PyObject* (*bag_new)(PyObject* chain);
    /* bag.add(values, count) with the next start given as `length` values. */
    int (*bag_add)(PyObject* bag, PyObject* const* values, Py_ssize_t length, PyObject* count);
    /* chain.set_bag(start, bag) */
    int (*chain_set_bag)(PyObject* chain, PyObject* start, PyObject* bag);

    /* ---- readers' direct paths ---- */

    /* chain.add_to_bag(start, items, count=count), for a reader that has the
       next start's `length` values at hand. `start_hint` and `hints` are the
       ids that the reader expects the start and the values to have in the
       chain's vocabulary (TESMO_NO_HINT: none). A hint counts only while its
       id holds a plain value (str, int, float, bool, None, bytes, tuples of
       them) that the value would be interned to, so a stale hint is merely
       ignored; on success every hint holds the value's id. The count is
       `count_object`, or `count` when that is NULL. When the start's bag is
       not an exact ProbabilityBag it gets bag.add(make_items(ctx), count):
       make_items returns a new reference to the object add_to_bag would
       have been given, or NULL with an exception set. */
    int (*chain_add_hinted)(PyObject* chain, PyObject* start, uint32_t* start_hint, PyObject* const* values,
                            uint32_t* hints, Py_ssize_t length, int64_t count, PyObject* count_object,
                            PyObject* (*make_items)(void* ctx), void* ctx);
    /* bag.add(tuple(values), count=count) with hints likewise, the ids in
       the bag's vocabulary: that of the chain for a bag that bag_new(chain)
       made. */
    int (*bag_add_hinted)(PyObject* bag, PyObject* const* values, uint32_t* hints, Py_ssize_t length, int64_t count,
                          PyObject* count_object);

    /* ---- writers' direct paths ---- */

    /* Entry `index` (0 <= index < chain_length) in insertion order, without
       making its bag object: the start's id and the start (borrowed), and
       its choices either as a block (`*block`, with `*bag` NULL: the start
       has no bag object yet, or its bag is an exact ProbabilityBag) or as
       the bag object of any other type (`*bag`, borrowed, with `*block`
       NULL). Runs no Python code. IndexError for an index out of range. */
    int (*chain_entry_block)(PyObject* chain, Py_ssize_t index, uint32_t* start_id, PyObject** start,
                             TesmoBlock** block, PyObject** bag);
    /* Keeps a block alive while Python code runs (a chain cleared meanwhile
       lets go of it, as it would of a bag object held elsewhere). Releasing
       may free values, and so run Python code. */
    void (*block_hold)(TesmoBlock* block);
    void (*block_release)(TesmoBlock* block);
    /* Number of choices: the bag's unique_count. */
    Py_ssize_t (*block_length)(TesmoBlock* block);
    /* Choice `index` in insertion order, as bag_choice reports it, its ids
       those of block_vocabulary. IndexError out of range. */
    int (*block_choice)(TesmoBlock* block, Py_ssize_t index, TesmoChoice* out);
    /* The block's vocabulary (borrowed), or NULL without an exception for a
       block that never held a choice. */
    PyObject* (*block_vocabulary)(TesmoBlock* block);
    /* The values (borrowed) of `length` live ids into `values`. */
    int (*vocabulary_values)(PyObject* vocabulary, const uint32_t* ids, Py_ssize_t length, PyObject** values);
    /* 1 when every value the chain's vocabulary holds is plain: an exact
       str, int, float, bytes, bool or None, or an exact tuple of them, so
       that hashing and comparing them runs no Python code; 0 otherwise. */
    int (*chain_values_plain)(PyObject* chain);

    /* ---- readers' builds (version 2) ----

       A build interns a document's values into a chain's vocabulary and
       fills their ids into blocks, without an object per choice: the ids it
       gives stay valid (held by the build) until build_free. By mode:
       - TESMO_BUILD_REPLACE fills a private chain entry by entry, as
         set_bag installs bags (build_bag, build_choice, build_bag_end);
         build_commit makes it the chain's content.
       - TESMO_BUILD_MERGE fills a private chain as add_to_bag adds
         (build_add); build_commit adds it to the chain's content.
       - TESMO_BUILD_DIRECT adds straight into the chain (build_add).
       Until build_commit the chain itself is not touched by the private
       modes, so a reader that meets something it does not reproduce can
       let go of the build and read the document the general way. */

    /* A build for `chain`, an exact Chain; NULL with an exception on error. */
    TesmoBuild* (*build_new)(PyObject* chain, int mode);
    /* Ends the build (also after build_commit); may run Python code. */
    void (*build_free)(TesmoBuild* build);
    /* The id of the str whose text is these `length` ASCII bytes, made only
       when the vocabulary lacks it. */
    int (*build_ascii)(TesmoBuild* build, const char* text, Py_ssize_t length, uint32_t* id);
    /* The id of a plain value (an exact str, int, float, bool or None, or an
       exact tuple of them). */
    int (*build_value)(TesmoBuild* build, PyObject* value, uint32_t* id);
    /* The id of the tuple of these ids' values, made only when the
       vocabulary lacks it. */
    int (*build_tuple)(TesmoBuild* build, const uint32_t* ids, Py_ssize_t length, uint32_t* id);
    /* The value of an id that the build gave (borrowed). */
    PyObject* (*build_id_value)(TesmoBuild* build, uint32_t id);
    /* REPLACE: a new empty bag to fill, its choices added with build_choice
       (as bag.add does, the count `count_object`, or `count` when that is
       NULL), installed under `start` by build_bag_end. */
    int (*build_bag)(TesmoBuild* build);
    int (*build_choice)(TesmoBuild* build, const uint32_t* ids, Py_ssize_t length, int64_t count,
                        PyObject* count_object);
    int (*build_bag_end)(TesmoBuild* build, uint32_t start);
    /* MERGE, DIRECT: add_to_bag(start, next start, count). 1 when added; 0
       when nothing was done because the build cannot add it as add_to_bag
       would (DIRECT: the start's bag is not an exact ProbabilityBag of the
       chain's vocabulary, or values compare by Python code; MERGE: a count
       that is not an integer), -1 on error. */
    int (*build_add)(TesmoBuild* build, uint32_t start, const uint32_t* ids, Py_ssize_t length, int64_t count,
                     PyObject* count_object);
    /* REPLACE, MERGE: the build becomes the chain's content (REPLACE) or is
       added to it choice by choice (MERGE). 1 when done; 0 when the chain
       was left as it was because it holds what the build cannot add as
       add_to_bag would (see build_add); -1 on error. */
    int (*build_commit)(TesmoBuild* build);
    /* DIRECT: build_add may keep the choices of one start back to add them
       together; this adds what it keeps. Call it before Python code that
       may look at the chain runs, and before the build ends. */
    int (*build_flush)(TesmoBuild* build);

    /* ---- writers' direct paths, by id (version 3) ---- */

    /* The block's records in place (see TesmoRecords). Runs no Python code
       and cannot fail. */
    void (*block_records)(TesmoBlock* block, TesmoRecords* out);
    /* Entries [from, from + count) in insertion order: each start's id, and
       its block as chain_entry_block gives it, or NULL where the start's bag
       is an object of another type (chain_entry_block reads that); with
       `records` not NULL, each block's records as block_records gives them
       (size 0 for a NULL block). Runs no Python code. IndexError for a range
       out of bounds. */
    int (*chain_entry_blocks)(PyObject* chain, Py_ssize_t from, Py_ssize_t count, uint32_t* start_ids,
                              TesmoBlock** blocks, TesmoRecords* records);
    /* chain_frequencies by id, no object held: the values are those of the
       ids in the chain's vocabulary. Returns 0 and fills `out` (release it
       with id_frequencies_free), 1 without touching `out` when the chain
       holds a bag that is not an exact ProbabilityBag of its vocabulary or a
       value that is not plain, -1 on error. Runs no Python code. */
    int (*chain_id_frequencies)(PyObject* chain, TesmoIdFrequencies* out);
    void (*id_frequencies_free)(TesmoIdFrequencies* frequencies);

    /* ---- writers' direct paths, counted by the writer (check `size`) ---- */

    /* chain_id_frequencies from occurrences that the caller counted while it
       read every entry (chain_entry_blocks), so that a writer walks the
       blocks once: `per_id[id]` the occurrences of each id below `id_bound`
       (at most vocabulary_bound), `order` the `length` live ids met, in the
       order first met. Returns as chain_id_frequencies does: 1 when a value
       is not plain. ValueError for an id at or past `id_bound`, KeyError for
       a free one. Runs no Python code. */
    int (*vocabulary_id_frequencies)(PyObject* vocabulary, const uint32_t* order, Py_ssize_t length,
                                     const Py_ssize_t* per_id, Py_ssize_t id_bound, TesmoIdFrequencies* out);
} TesmoChainAPI;

#define TESMO_NO_HINT UINT32_MAX

#endif /* TESMO_CHAIN_API_H */
