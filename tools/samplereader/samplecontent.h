#pragma once

#include <vector>

/// The books and passages of the sample reader: public-domain classics, so that a first
/// run without a reader at hand shows something worth reading.
struct SampleBook
{
    const char *title;
    const char *author;
    std::vector<const char *> passages;
};

const std::vector<SampleBook> &sampleBooks();
/// Notes a reader might have written, cycled over the annotations that carry one.
const std::vector<const char *> &sampleNotes();
