#include "app/commands/batchhelp.h"

const char* const kBatchAbout =
    "Registers every image of LIST to FIXED in one process: FIXED is loaded and prepared\n"
    "once, each subject's outputs go to their own folder of DIR, a failed subject does\n"
    "not stop the others, and a stopped batch resumes where it was.";

const char* const kBatchFooter =
    "LIST: one moving image per line, or ID<TAB>PATH; blank lines and lines starting with\n"
    "'#' are skipped. An id defaults to the file name without its extension; an id used\n"
    "twice is refused before any work. Relative paths are taken from the current folder.\n"
    "\n"
    "Outputs: DIR/<id>/ receives what register writes: <id>.nii.gz (MOVING resampled onto\n"
    "FIXED's grid), <id>_affine.txt (the world matrix), <id>_itk.txt (the ITK transform),\n"
    "<id>_qc.png with --qc, and result.tsv, the subject's row, written last.\n"
    "DIR/results.tsv holds one row per subject: id, path, status (ok, failed or skipped),\n"
    "final cost, seconds, message (the reason of a failure, warnings about a file used).\n"
    "\n"
    "Resuming: every file goes through a temporary name and is renamed into place, the\n"
    "subject's row last. Run the same command again and the subjects whose row says ok,\n"
    "with these settings (FIXED, --fixed-mask, --dof, --init, --no-refine) and all files\n"
    "present, are skipped; the rest are done again. A batch stopped at any moment can\n"
    "simply be rerun.\n"
    "\n"
    "Several at once: on the CPU backend the batch registers --jobs subjects at once, the\n"
    "threads (--threads, default all) shared among them; the results are register's, however\n"
    "the threads are shared. Default: one per thread, at most 8 (with --verbose: 1, so\n"
    "that a subject's search lines stay together). Memory grows with the subjects in\n"
    "progress, not with the list.\n"
    "\n"
    "Failures: a subject that cannot be read or registered gets a failed row with the\n"
    "reason and the batch goes on. Exit status 0 when every subject is ok or skipped, else 1.\n"
    "\n"
    "Clusters: --shard I/N takes subjects I, I+N, I+2N, ... of the list (from 1) and writes\n"
    "DIR/results.shard-I-of-N.tsv. Without --shard, inside a Slurm array job, I and N come\n"
    "from the array (its first task is shard 1). --merge, given the batch's own command\n"
    "line, does no registration: it gathers every subject's row into DIR/results.tsv\n"
    "(a subject without one is failed). scripts/slurm-batch.sh submits both steps.\n";

const char* const kBatchOutputFooter =
    "Output: on standard output, exactly\n"
    "  ok: N / skipped: N / failed: N  one line each\n"
    "  results: FILE               the table written\n"
    "  time: S s                   seconds for the whole command\n"
    "Progress on standard error: a bar on a terminal, else one line per subject (nothing\n"
    "with --quiet).\n";
