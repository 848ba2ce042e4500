// Every resource limit of the core, in one place. Each is far above what any
// real file needs, and each keeps a hostile file from exhausting the stack,
// memory or time of the caller's process.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quarvel::limits {

// Nesting of arrays and dictionaries in object syntax. Real files nest a
// handful of levels; 512 levels of the recursive parser take under 256 KiB
// of stack in an optimised build (measured), a sixteenth of the 4 MiB a
// worker thread gets and far below the 8 MiB of the interpreter's threads.
inline constexpr std::size_t kMaxObjectDepth = 512;

// Nesting of arrays in content streams (TJ arrays are one level deep).
inline constexpr std::size_t kMaxContentArrayDepth = 256;

// Bytes one filter may produce from one stream. The largest real images
// decode to some tens of MiB; a decompression bomb stops here instead of
// taking gigabytes from the caller.
inline constexpr std::size_t kMaxDecodedBytes = std::size_t{256} << 20;

// Bytes of the character buffer each thread keeps from one page for the
// next; a larger one, grown by a pathological page, is released after it.
inline constexpr std::size_t kMaxKeptCharBufferBytes = std::size_t{8} << 20;

// Bytes of the inflate buffer each thread keeps from one stream for the
// next; a larger one, grown for a huge stream, is released after it.
inline constexpr std::size_t kMaxKeptInflateBytes = std::size_t{8} << 20;

// Content operators executed for one page, forms included. Dense vector
// pages run to a few million; a form drawn thousands of times by forms drawn
// thousands of times stops here and keeps what it emitted.
inline constexpr std::uint64_t kMaxOperatorsPerPage = 20'000'000;

// Characters and image placements one page's content may produce, forms
// included. Dense pages hold tens of thousands of characters; at 40 bytes a
// character this caps a page at about 80 MiB, where forms multiplying forms
// would otherwise fill memory long before the operator budget runs out.
inline constexpr std::uint64_t kMaxContentItemsPerPage = 2'000'000;

// Operands kept on the content interpreter's stack. No operator uses more
// than the top six, so older operands beyond this are dropped unseen; a
// stream of millions of bare numbers then stays small.
inline constexpr std::size_t kMaxContentOperands = 4096;

// Bytes of decoded strings and array elements the operands between two
// content-stream operators may hold. An array element takes 16 bytes where
// its source may take two, so without a bound a compressed stream of one
// long array would take gigabytes; operands past it are dropped.
inline constexpr std::size_t kMaxContentOperandBytes = std::size_t{64} << 20;

// Graphics states the full reader keeps saved by q at once. Producers nest
// a few dozen; each saved state holds the text state too (about 150 bytes),
// so a page of millions of unmatched q stays small. A q past the limit
// saves nothing and its Q restores nothing.
inline constexpr std::size_t kMaxGraphicsStateDepth = 4096;

// Codes a CID width range can describe: codes are at most two bytes, so no
// range needs widths for more than 65536 codes.
inline constexpr std::uint32_t kMaxCidRangeCodes = 65536;

// bfchar pairs, and separately bfrange triples, read from one ToUnicode
// CMap. Codes are at most two bytes, so a real map needs at most 65792
// entries of each kind; twice that leaves room for repeats. Beyond it a
// hostile map would cost some hundred bytes of memory per few bytes of text
// and a longer range scan for every character shown.
inline constexpr std::size_t kMaxCMapEntries = std::size_t{1} << 17;

// Nesting of /Pages nodes in the page tree, the root node counting as one.
// Real trees are a few levels deep (balanced trees of millions of pages stay
// under ten); the walk keeps its path on the heap, so the limit guards time
// and memory against a hostile chain rather than the stack.
inline constexpr std::size_t kMaxPageTreeDepth = 4096;

// Kid references the page-tree walk follows. A tree lists each page and
// node once, so this allows some four million pages; a tree that shares one
// subtree among many parents (a DAG, not a cycle) can otherwise describe
// 2^depth pages in a few hundred bytes.
inline constexpr std::uint64_t kMaxPageTreeKids = std::uint64_t{1} << 22;

// Content bytes of one page, its streams joined. One stream decodes to at
// most kMaxDecodedBytes, so every page with a single stream fits; a /Contents
// array naming the same decompression bomb thousands of times stops here
// instead of asking for terabytes. Streams that do not fit are left out.
inline constexpr std::size_t kMaxPageContentBytes = kMaxDecodedBytes;

// Images listed for one page. Every drawing of an image is listed with its
// own copy of the bytes, and a content stream may repeat `/Im1 Do` millions
// of times within the operator budget; tiled scans and maps draw a few
// thousand. Drawings past this are left out.
inline constexpr std::size_t kMaxImagesPerPage = 100'000;

// Image bytes copied for one page. The largest real page images decode to
// some tens of MiB; a 100 MiB image drawn a thousand times would otherwise
// ask for 100 GiB. Images past this are still listed, with empty data.
inline constexpr std::size_t kMaxImageBytesPerPage = std::size_t{1} << 30;

// Pixels of one image made into 8-bit samples (and of its soft mask). The
// largest real images, 600 dpi scans of large sheets, have some tens of
// millions; at four bytes a pixel this caps the samples at 512 MiB where a
// few bytes of Width and Height could ask for terabytes.
inline constexpr std::uint64_t kMaxImagePixels = std::uint64_t{1} << 27;

// Text characters and image bytes one document may return, as a budget that
// grows with what the file really holds: a multiple of its source bytes (the
// file's size plus the decoded size of every distinct content stream, form
// and image the returned pages drew on, each counted once however often it
// is drawn), never less than a floor. Every per-page limit above can be
// multiplied by repeating a page, or a page's forms, thousands of times in a
// small file; repeats add no source bytes, so such a file stops at the floor.
// A real document needs at least one content byte a character (a string
// byte per code, more with kerning arrays and operators) and holds each
// image's bytes once, so the multiple leaves it whole at any length: the
// generated 6,000-page document of bench/large_docs.py holds 20.8 M
// characters in 7 MB of file and 22 MB of decoded content, a sixth of its
// 117 M budget.
// The floors are the limits of a small file: 16 M characters and 2 GiB of
// images are some hundred and some ten times what the largest real
// documents of a few MB carry. Pages are admitted in page order; the call
// that passes a budget fails as a whole ("document exceeds extraction
// limits") rather than return a document cut short without a word.
inline constexpr std::uint64_t kMinTextCharsPerDocument = 16'000'000;
inline constexpr std::uint64_t kTextCharsPerSourceByte = 4;
inline constexpr std::uint64_t kMinImageBytesPerDocument = std::uint64_t{2} << 30;
inline constexpr std::uint64_t kImageBytesPerSourceByte = 4;

// Spans, lines and blocks one document may return, on the same terms. Each
// becomes a Python dict of about a kilobyte, so text drawn in tiny pieces
// (a four-letter form drawn a million times a page) costs far more memory
// than its characters say: 16 M characters in four-letter spans would be
// some 2.5 GiB of Python objects. The floor keeps such a file to about
// 400 MiB; real text needs several content bytes a piece ("(a)'" is four),
// so one piece a source byte never binds a real document.
inline constexpr std::uint64_t kMinTextPiecesPerDocument = 400'000;
inline constexpr std::uint64_t kTextPiecesPerSourceByte = 1;

// Characters and images the content of one document may draw before the
// layout keeps or drops them (text outside the page box, invisible
// repeats), on the same terms. What a page returns can be far less than it
// drew: a form drawn a million times off the page costs the interpreter and
// the layout the same work as one drawn on it, so the returned text alone
// does not bound a document's time. Real pages draw little they do not
// show; twice the text floor, or four per source byte, leaves them whole.
inline constexpr std::uint64_t kMinDrawnItemsPerDocument = 32'000'000;
inline constexpr std::uint64_t kDrawnItemsPerSourceByte = 4;

// Page numbers one call may ask for by list (`pages=`). The page tree holds
// at most kMaxPageTreeKids pages, so a longer list can only repeat pages.
inline constexpr std::size_t kMaxRequestedPages = std::size_t{1} << 22;

// Pages extracted ahead of the calling thread's conversion, per worker. The
// calling thread turns pages into Python objects while workers extract the
// next ones; the window keeps workers busy across uneven pages without
// holding a second copy of the document in memory. The calling thread wakes
// for half a window at a time, and every wake-up takes a CPU from a worker
// and its cache with it: with 4 pages a worker the workers spent a tenth
// more CPU on the same pages than with 16.
inline constexpr std::size_t kPagesAheadPerWorker = 16;

// The memory the pages ahead may hold, extracted and not yet freed, as the
// pipeline estimates it from their counts. A page near the text floors
// takes some 40 MB, and a window of such pages would hold gigabytes;
// ordinary pages are tens of kilobytes, so this never binds on them.
inline constexpr std::uint64_t kMaxPageBytesAhead = std::uint64_t{64} << 20;

// Memory the workers map ahead for the calling thread's result objects and
// that it has not taken yet. A text-dense page's objects take some 40 KiB,
// so this covers the window of pages ahead many times over, and bounds what
// is mapped for nothing when an estimate runs high (the interpreter reuses
// memory a result freed before): it is given back when the call ends.
inline constexpr std::size_t kMaxPreparedResultBytes = std::size_t{8} << 20;

// Finished files a streaming batch holds, per worker, before the caller has
// taken them, when the caller names no window. Two a worker keeps every
// worker busy while the caller converts one file and the next is done;
// memory then holds a handful of files whatever the batch's length.
inline constexpr std::size_t kFilesAheadPerWorker = 2;
// The largest window a caller may name: each slot may hold a whole file's
// result, and a window past this many files is a list in all but name.
inline constexpr std::size_t kMaxFilesAhead = 4096;

// Bytes in one row of a predicted stream (/Columns × /Colors × bits per
// component). Real rows are a few kilobytes (an 8,000-pixel RGB scan line is
// 24 KB); the predictor keeps two rows, so a lying /Columns of two billion
// would ask for gigabytes before the first byte is decoded. Wider rows are
// left as stored.
inline constexpr std::uint64_t kMaxPredictorRowBytes = std::uint64_t{1} << 24;

// Cross-reference sections read through /Prev. Files updated incrementally
// carry one section per save, rarely more than a few hundred; a /Prev chain
// longer than this is treated as ending here (loops are stopped by the
// offsets already read).
inline constexpr std::size_t kMaxXrefSections = 10'000;

// Bytes either side of a startxref or /Prev offset searched for the section
// it meant: writers that miscount line ends or a prefix before %PDF are off
// by a few bytes to a few hundred.
inline constexpr std::size_t kXrefOffsetSlack = 1024;

// Numbers taken one by one from a zero-width run of an older section when
// newer sections are merged over it (such runs are degenerate: every number
// at offset 0); the rest of a larger run is dropped.
inline constexpr std::uint64_t kMaxXrefRunMerge = 1'000'000;

// Object streams unpacked by the full reader's recovery scan. Each costs its
// decoded size once (cached); real files hold some hundreds.
inline constexpr std::size_t kMaxRecoveredObjectStreams = 100'000;

// Bytes searched for the %PDF header of a file with junk before it.
inline constexpr std::size_t kMaxHeaderSearch = 1024;

// Files mapped at once with their SIGBUS guard. A call holds one per file it
// reads, plus the next file opened ahead, and its files are read at most one
// per pool worker at a time. Past this, files are read into memory instead.
inline constexpr std::size_t kMaxGuardedMappings = 1024;

// Bookmarks read from one outline. Real books carry a few thousand; each
// entry costs some hundred bytes, so a hostile outline of millions stops at
// a few tens of MiB and the walk visits each item object at most once.
inline constexpr std::size_t kMaxOutlineEntries = 100'000;

// Nesting of outline levels. Real tables of contents nest under ten; the
// walk keeps its path on the heap, so this bounds the levels reported
// rather than the stack.
inline constexpr std::size_t kMaxOutlineDepth = 64;

// Nodes visited in one name tree or number tree walk (/Dests names, page
// labels). A tree lists each key once, so this allows a million-entry tree;
// nodes shared by many parents cannot multiply the walk past it.
inline constexpr std::size_t kMaxTreeNodes = 1'000'000;

// Nesting of /Kids in a name tree or number tree. Balanced trees of
// millions of keys are a few levels deep; a chain of nodes stops here.
inline constexpr std::size_t kMaxTreeDepth = 64;

// Decoded bytes of the XMP metadata stream searched for document facts.
// Real packets hold some KiB (a few hundred with embedded thumbnails); the
// scan reads no further, so a huge or bomb-like stream costs at most this.
inline constexpr std::size_t kMaxXmpBytes = std::size_t{4} << 20;

// Terminal form fields reported, and separately field dictionaries
// visited. Large forms hold some thousands; a /Kids tree that fans out
// stops here.
inline constexpr std::size_t kMaxFormFields = 100'000;

// Parses of one object that a caller reading objects once each (the
// annotation scans) may cost before the object is cached after all. A page's
// annotations are read by the appearance scan and again by the link scan,
// twice when the page is listed twice; past this a file that names one
// large object over and over pays for it once more, so a scan's work stays
// within a few parses of the file's objects.
inline constexpr std::uint8_t kMaxTransientReads = 4;

// Widget annotations a page draws the appearance of. Forms put a few
// hundred widgets on a page; each drawn appearance is a form XObject.
inline constexpr std::size_t kMaxWidgetsPerPage = 10'000;
// Path points (m, l and each point of c, v, y; four for re) the full reader
// records for one page when drawings are asked for, forms included. Dense
// vector maps and charts draw some hundred thousand points, and a page of
// 100,000 rectangles needs 400,000. A point costs under 40 bytes in the
// recorded items but up to 200 as Python objects, so this caps a page's
// paths at about 100 MiB in the caller's hands. Path operators past it are
// ignored.
inline constexpr std::uint64_t kMaxPathPointsPerPage = 500'000;

// Painted paths recorded for one page. A table of a few thousand cells
// draws some tens of thousands of rules and boxes, and a page of 100,000
// rectangles must still come out whole; each recorded path costs about
// 200 bytes here and a few hundred as Python objects, so 250,000 keeps a
// page to some 150 MiB. Paths painted past it are left out.
inline constexpr std::size_t kMaxDrawingsPerPage = 250'000;

// Entries read from one /ColorSpace resource dictionary. Pages name a few
// spaces; a hostile dictionary of millions would otherwise cost a palette
// decode each for every page that shares it.
inline constexpr std::size_t kMaxColorSpacesPerResources = 1024;

// Bytes of an /Indexed palette stream decoded: 256 entries of at most four
// components need 1 KiB; a longer stream is padding or hostile, and a
// stream decoding past this leaves the palette empty (black).
inline constexpr std::size_t kMaxPaletteBytes = 4096;
// Bytes of a /BaseFont name searched for style words (Bold, Italic, Mono):
// real names are under 64 bytes with their style words near the end, and a
// hostile name of any length costs one lower-cased copy of this many bytes
// per font record.
inline constexpr std::size_t kMaxFontStyleNameBytes = 128;
// Rules the table finder takes from one page, longest first, after joining
// the pieces of each. Real tables have some hundreds; the finder tests every
// horizontal rule against every vertical one, so 4000 rules cost at most
// four million cheap tests (a few milliseconds) on a page of hostile art.
inline constexpr std::size_t kMaxCandidateRules = 4000;

// Tables the finder reports for one page. Dense pages hold a few dozen;
// past this the rest of a page is left as text.
inline constexpr std::size_t kMaxTablesPerPage = 200;

// Grid positions (rows times columns) of one table. A page-long table of
// small print has some thousands; a grid larger than this (a page of
// crossing hatching) is not taken for a table, which also bounds the cell
// memory of one table to a few megabytes.
inline constexpr std::size_t kMaxCellsPerTable = 100'000;
// Links a page's Markdown places over its text. Each span is tested against
// every link, so a page of a million spans and as many links would cost
// 10^12 tests; real pages carry some dozens, an index page some hundreds.
// Links past this are still listed in the page's chunk, not placed.
inline constexpr std::size_t kMaxPlacedLinksPerPage = 1000;

// Nesting of Markdown lists. Each item is indented by its parents' widths,
// so lines each a little further right would otherwise make the page's
// Markdown grow with the square of its lines; written lists nest three or
// four deep. Deeper items are written at this depth.
inline constexpr std::size_t kMaxListDepth = 8;

} // namespace quarvel::limits
