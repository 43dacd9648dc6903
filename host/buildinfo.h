/* Constants fixed when tessarc-server is built (written into a generated
 * source file by buildinfo.cmake at every build). */
#ifndef TESSARC_HOST_BUILDINFO_H
#define TESSARC_HOST_BUILDINFO_H

/* The 40 hexadecimal digits of the commit that was built; forty zeros when
 * the build did not come from a git checkout. */
extern const char c_TQ_buildRevision[];
/* The project version, three numbers joined by full stops. */
extern const char c_TQ_buildVersion[];
/* Date and time of the build, "YYYY-MM-DD HH:MM:SS UTC". */
extern const char c_TQ_buildDate[];

#endif /* TESSARC_HOST_BUILDINFO_H */
