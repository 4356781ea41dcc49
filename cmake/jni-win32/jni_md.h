/* Machine-dependent JNI definitions for 64-bit Windows, for cross-compiling with a JDK
 * that ships only another platform's include directory. On x86_64 there is one calling
 * convention, so __stdcall is accepted and ignored and exported names stay undecorated. */
#ifndef _JAVASOFT_JNI_MD_H_
#define _JAVASOFT_JNI_MD_H_

#define JNIEXPORT __declspec(dllexport)
#define JNIIMPORT __declspec(dllimport)
#define JNICALL __stdcall

typedef int jint;
typedef long long jlong;
typedef signed char jbyte;

#endif /* !_JAVASOFT_JNI_MD_H_ */
