#include "app/classic/usage.h"

#include <cstdio>

void printUsage() {
    std::printf("\n");
    std::printf("==========================================================================\n");
    std::printf("Please input as 'tarvo <option> <input1> (<...>) -o <output>'\n");
    std::printf("Option:  -r  srcimg.nii refimg.nii      :  Tarvo Registration.\n");
    std::printf("         -tm srcimg.nii <matrixfile>    :  Transform using matrix.\n");
    std::printf("         -tt srcimg.nii <transformfile> :  Transfrom using transfer description.\n");
    std::printf("         -i  srcimg.nii <dx> <dy> <dz>  :  Isotropic resample.\n");
    std::printf("         -d  srcimg.nii                 :  Smooth half resample.\n");
    std::printf("         -c  srcimg.nii refimg.nii      :  Calculate correlation ration.\n");
    std::printf("==========================================================================\n\n");
}

void printTransformFileHelp() {
    std::printf("Please write the transformfile in the style below:\n");
    std::printf("---------------------------------------\n");
    std::printf("RotationX       RotationY       RotationZ\n");
    std::printf("TranslationX    TranslationY    TranslationZ\n");
    std::printf("ScaleX          ScaleY          ScaleZ\n");
    std::printf("SkewX           SkewY           SkewZ\n");
    std::printf("---------------------------------------\n");
    std::printf("Note: Rotation is in degree.\n\n");
}
