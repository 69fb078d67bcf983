#pragma once
// The caption of a registration's check picture: whose registration it is, how it ended
// and what made it. The same words for register and for each subject of a batch, from
// the result as written (a batch that only draws a missing picture has the stored row).
#include <string>

#include "registration/verdict.h"
#include "volume/qcpicture.h"

// `who`: "MOVING <path>" for register, "subject <id>: <path>" in a batch. Two lines:
//   <who> -> FIXED <fixed>
//   cost C   verdict ok | suspect: REASON   overlap F M   turn D   N dof   tarvo V
// No date or time: equal runs draw equal pictures.
QcCaption registrationCaption(const std::string& who, const std::string& fixed, double cost, const Verdict& verdict,
                              int dof);
