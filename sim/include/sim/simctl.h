#ifndef SIM_SIMCTL_H
#define SIM_SIMCTL_H
/* Control of the simulated Tarnwell network, for tests. Exported by twsock, except
   SimLiveTextObjects, which twdynam exports because it makes the text objects alone.
   Every function may be called from any thread. */

#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The two kinds of link that a client creates; combined as bits in SimFailNextCreations. */
enum SimLinkKind { SIM_LINK_REALTIME = 0x1, SIM_LINK_BROWSER = 0x2 };

/* A snapshot taken under the network's lock. The live counts follow the objects and
   are never reset; the created counts and the rest are cleared by SimReset. */
typedef struct SimCounters {
    LONG liveOemObjects;
    LONG liveRealTimes;       /* realtime interfaces not yet released */
    LONG liveBrowsers;        /* browse interfaces not yet released */
    LONG receiversHeld;       /* receivers, of either kind, that a live link holds */
    LONG realTimesCreated;    /* successful NewKelvaneRealTime calls */
    LONG browsersCreated;     /* successful NewKelvaneBrowser calls */
} SimCounters;

/* Clears the created counts, the recorded client kind and any pending creation failures. */
void WINAPI SimReset(void);

void WINAPI SimGetCounters(SimCounters* counters);

/* Copies the last text given to SetClientKind by any OEM object, truncated to fit and
   zero-terminated when capacity > 0; returns its full length in characters. An empty
   text when none has been recorded since load or the last SimReset. */
UINT WINAPI SimGetClientKind(wchar_t* buffer, UINT capacity);

/* The next `count` creations of each kind in `kinds` fail: they return 0, leave the out
   pointer null and take no reference to the receiver. A count of 0 cancels. */
void WINAPI SimFailNextCreations(UINT kinds, UINT count);

/* twdynam: text objects made by NewUnicodeGuts or NewAnsiGuts and not yet freed. */
LONG WINAPI SimLiveTextObjects(void);

#ifdef __cplusplus
}
#endif

#endif
