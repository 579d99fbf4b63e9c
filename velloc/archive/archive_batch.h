// Queue mode: a run's record in the archive gathered while its actions run and kept in
// one transaction before the visitor is answered (the submission with its final
// status, its actions' outcomes, the deliveries they queued), instead of one
// transaction for each. A run killed before that keeps nothing, and has answered
// nothing either.
#pragma once

#include <vector>

#include "platform/temp_file.h"
#include "velloc/archive/archive_store.h"

struct ArchiveBatch {
  ArchivedSubmission submission;
  std::vector<ActionOutcome> outcomes;
  std::vector<Delivery> deliveries;
  // The files that hold a queued mail's bytes after its payload, read at the commit.
  std::vector<platform::TempFile> files;
  bool ended = false;  // committed, or given up: nothing more is gathered
};
