#pragma once
// The help of tarvo batch: what it does, its footer (list, outputs, resuming, clusters)
// and what it prints. The registration options' own part is kRegistrationOptionsHelp.
extern const char* const kBatchAbout;
extern const char* const kBatchFooter;
extern const char* const kBatchOutputFooter;
