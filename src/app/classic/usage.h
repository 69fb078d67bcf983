#pragma once
void printUsage();
void printTransformFileHelp();
