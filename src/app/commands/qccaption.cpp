#include "app/commands/qccaption.h"

#include <cstdio>

#include "app/commands/commands.h"

QcCaption registrationCaption(const std::string& who, const std::string& fixed, double cost, const Verdict& verdict,
                              int dof) {
    // The figures as register prints them, so that a picture and a log line can be matched.
    char figures[160];
    std::snprintf(figures, sizeof figures, "   overlap %.3f %.3f   turn %.1f   %d dof   tarvo %s", verdict.fixedOverlap,
                  verdict.movingOverlap, verdict.turn, dof, tarvoVersion());
    char costText[48];
    std::snprintf(costText, sizeof costText, "cost %.6f", cost);
    QcCaption c;
    c.text = who + " -> FIXED " + fixed + "\n" + costText + "   verdict " + verdictText(verdict) + figures;
    c.warn = verdict.suspect;
    return c;
}
