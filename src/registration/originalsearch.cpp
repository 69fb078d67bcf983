#include "registration/originalsearch.h"

#include "registration/cost.h"
#include "registration/pipeline.h"
#include "registration/searchlog.h"

TransformParams& registerVolumes(TransformParams& result, const Volume& src, const Volume& ref) {
    const long long start = clockMs();
    const PipelineResult r = runPipeline(src, ref, PipelineOptions::originalSearch());
    result = r.params;
    if (!r.ran) return result;
    const float elapsed = (float)((double)(float)(clockMs() - start) / 1000.0);
    searchPrintf("\n\n registration time (without data read and write) used: %.3fs,global count is: %d\n",
                 (double)elapsed, globalCount);
    searchPrintf("\n\n total time for CR Calculation: %.3fs\n", (double)crTotalTime);
    return result;
}
