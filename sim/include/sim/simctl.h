#ifndef SIM_SIMCTL_H
#define SIM_SIMCTL_H
/* Control of the simulated Tarnwell network, for tests. Exported by twsock, except
   SimLiveTextObjects and SimNewRefusingText, which twdynam exports because it makes the text
   objects alone.
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
    LONG browseFailuresMade;  /* Open and Next calls failed by SimFailBrowse */
    LONG browseOpens;         /* Open calls, successful or not */
} SimCounters;

/* Clears the created and opened counts, the recorded client kind, any pending creation and browse failures;
   gives every point its first value and status back (reported to its subscriptions), clears
   ReadCurrent failures, forgets the mem points that nobody subscribes and resumes the clock. */
void WINAPI SimReset(void);

void WINAPI SimGetCounters(SimCounters* counters);

/* Copies the last text given to SetClientKind by any OEM object, truncated to fit and
   zero-terminated when capacity > 0; returns its full length in characters. An empty
   text when none has been recorded since load or the last SimReset. */
UINT WINAPI SimGetClientKind(wchar_t* buffer, UINT capacity);

/* The next `count` creations of each kind in `kinds` fail: they return 0, leave the out
   pointer null and take no reference to the receiver. A count of 0 cancels. */
void WINAPI SimFailNextCreations(UINT kinds, UINT count);

/* Makes the listings of one browse path fail (each path has a failure of its own), from the
   next Open of that path on, until it is cleared (failure 0) or SimReset. `branch` is a path
   as Open takes it (\, \\HOST, \\HOST\proc1; the host matched without regard to case) or its
   part below the host (proc1, proc1\Waveform; "" for \\HOST itself). With afterEntries
   SIM_BROWSE_AT_OPEN, Open fails with `failure` and keeps the listing it had; otherwise Open
   succeeds, and Next hands out the first afterEntries entries (all of them when there are
   fewer), then answers `failure` instead of more entries or KELVANE_E_ENDOFLIST, leaving the
   entry untouched, on every call until the next Open. Each Open takes the failure as it
   stands then: clearing it does not heal a listing already open. KELVANE_E_UNKNOWNPATH for a
   path that cannot be listed; E_INVALIDARG for a success code other than 0. */
#define SIM_BROWSE_AT_OPEN 0xFFFFFFFFu
HRESULT WINAPI SimFailBrowse(const wchar_t* branch, UINT afterEntries, HRESULT failure);

/* ---- Points ----
   The network serves the local computer \\HOST (the name GetHostMachineName returns, matched
   without regard to case). The functions below name a point by its item ID, such as
   \\HOST\proc1\Setpoint, or by its part below the host, proc1\Setpoint; a name that is no
   point gives KELVANE_E_UNKNOWNPOINT (0x8ABC0200). A mem\ point exists from its first
   subscription on. Whatever they change reaches the subscriptions later, on the network's
   delivery thread: SimWaitForDeliveries waits for that.

   Points below \\HOST\ (network type, access r/w, first value):
     proc1\Waveform.sine, .cosine, .ramp   3 r   follow the clock (below)
     proc1\Waveform.toggle                 2 r   follows the clock
     proc1\Setpoint   3 rw 0.0        proc1\Label    0x1006 rw "ready"   proc1\Running 2 rw true
     proc1\Constant   3 r  42.0       proc1\WriteOnly  3 w  none, keeps no write
     proc1\Silent     3 r  none       proc1\Faulty     3 r  0.0 with status SIM_FAULTY_STATUS
     proc2\Pump       3 r  1450.0     proc2\Pump.speed, proc2\Pump.Tank   3 rw 0.0
     mem\<name>       rw 0.0, no '\' in name; holds null, boolean, double or text, and
                      its type follows its value
   A write to a writable point is stored and reported back to every subscription of it.

   Browse tree (name, delimiter, leaf or branch; every child's second name is its item ID):
     \                   \\HOST '\' branch
     \\HOST              proc1, proc2, mem: '\' branches
     \\HOST\proc1        Waveform '\' branch; Setpoint, Label, Running, Constant, WriteOnly,
                         Silent, Faulty: '\' leaves
     \\HOST\proc1\Waveform  sine, cosine, ramp, toggle: '.' leaves
     \\HOST\proc2        Pump '\' branch, with the type and access of the point proc2\Pump
     \\HOST\proc2\Pump   (implicit) (the point proc2\Pump itself), speed, Tank-Level (the point
                         proc2\Pump.Tank): '.' leaves
     \\HOST\mem          one '\' leaf per mem point
   Plain branches have type 0 and access 0; leaves the type and access of their point. */

/* The status that proc1\Faulty reports with its value. */
#define SIM_FAULTY_STATUS 1u

/* The clock ticks every 100 ms while it runs; the waveforms follow the tick count: sine and
   cosine of 2 pi ticks / 600, ramp = ticks % 100, toggle = (ticks / 10) % 2 != 0. Stepping
   moves it at once, paused or not, and reports every tick's changes. SimReset resumes it. */
void WINAPI SimPauseClock(void);
void WINAPI SimResumeClock(void);
void WINAPI SimStepClock(UINT ticks);
ULONGLONG WINAPI SimGetClockTicks(void);

/* SIM_UPDATE_REFUSING_TEXT goes with a SIM_VALUE_TEXT value: the text objects that carry it,
   in reports and from ReadCurrent alike, come from SimNewRefusingText and so answer neither
   text interface, until the point's next value. */
enum SimUpdateField { SIM_UPDATE_VALUE = 0x1, SIM_UPDATE_STATUS = 0x2, SIM_UPDATE_REFUSING_TEXT = 0x4 };
/* The network type codes of the values that a test can give a point. */
enum SimValueType { SIM_VALUE_NULL = 1, SIM_VALUE_BOOL = 2, SIM_VALUE_DOUBLE = 3, SIM_VALUE_TEXT = 0x1006 };

typedef struct SimPointUpdate {
    UINT fields;          /* SimUpdateField bits */
    UINT type;            /* SimValueType, with SIM_UPDATE_VALUE */
    double real;          /* SIM_VALUE_DOUBLE */
    BOOL boolean;         /* SIM_VALUE_BOOL */
    const wchar_t* text;  /* SIM_VALUE_TEXT, copied; null is empty */
    UINT status;          /* with SIM_UPDATE_STATUS; 0 is good */
} SimPointUpdate;

/* Gives a point a new value and/or status, as if the device had changed, and reports it to
   its subscriptions: mask 0x7 with a value, 0x6 (status and timestamp) without. Any value
   type goes, whatever the point's own type; a point without a value (WriteOnly, Silent) has
   one from then on. The waveforms take a status but no value: they answer
   HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED). E_INVALIDARG for no field or an unknown type, and
   for SIM_UPDATE_REFUSING_TEXT without a text value. */
HRESULT WINAPI SimUpdatePoint(const wchar_t* point, const SimPointUpdate* update);

/* Reports OnPointStatus(code) to every subscription of the point. */
HRESULT WINAPI SimSendPointStatus(const wchar_t* point, UINT code);

/* Makes ReadCurrent on the point's subscriptions fail with `failure` (mask 0); 0 clears. */
HRESULT WINAPI SimFailReadCurrent(const wchar_t* point, HRESULT failure);

/* Reports a value of any type without an object payload (such as 4, a 64-bit unsigned
   number) to every subscription of the point, with its status and the current time; the
   point keeps its value. E_INVALIDARG for a type with the object bit 0x1000. */
HRESULT WINAPI SimSendRawValue(const wchar_t* point, UINT type, ULONGLONG payload);

/* Subscriptions whose point interface has not been released: all of them when point is
   null, else those of that point (0 for a name that is no point). */
LONG WINAPI SimLiveSubscriptions(const wchar_t* point);

/* Waits until every report queued so far has been made and no callback is running. FALSE
   when the time ran out, or at once when called from inside a callback. */
BOOL WINAPI SimWaitForDeliveries(DWORD timeoutMs);

/* ---- Bench mode ----
   Synthetic load for measuring a client: `points` read-only double points bench\p0 ...
   bench\p<points-1> below \\HOST\ (no leading zeros in the number). While the bench runs,
   every one of them changes on every clock tick: point i holds ticks + i * 0.001, status 0,
   stamped with the tick's time, and each tick's values reach all their subscriptions on the
   delivery thread, like any other report. The values are reported a batch at a time and
   computed as they go out, without any allocation or kernel call per value; when a tick comes
   before the previous one's values are all out, the points not yet reached get only the newer
   value (so does SimStepClock of several ticks). SimWaitForDeliveries also waits until the
   last tick's values are out. The status of a bench point can be set with SimUpdatePoint;
   a value cannot (HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED)), and writes are refused.

   Options: SIM_BENCH_LISTED lists the points in the browse tree: \\HOST then shows a '\'
   branch bench, and \\HOST\bench one '\' leaf p<i> per point (type 3, access r). Without
   it the path \\HOST\bench is unknown to browsing, and the points can only be subscribed. */
enum SimBenchOption { SIM_BENCH_LISTED = 0x1 };

/* Makes `points` bench points (1 to 1,000,000, else E_INVALIDARG) and starts them changing;
   the values start at the current tick. A bench that exists with another number of points is
   replaced when nobody subscribes any of them, else HRESULT_FROM_WIN32(ERROR_BUSY); with the
   same number, only the options change. SimReset stops the bench, and forgets the points
   unless one of them is subscribed. A process that the control API cannot reach (the server in
   its local server host) starts with N unlisted bench points when its environment has
   TWOPC_SIM_BENCH_POINTS=N. */
HRESULT WINAPI SimStartBench(UINT points, UINT options);

/* The bench points stop changing and keep their last values; they remain subscribable. */
void WINAPI SimStopBench(void);

/* Counts since the library was loaded, never reset; take differences. */
typedef struct SimDeliveryStats {
    ULONGLONG ticks;               /* clock ticks, as SimGetClockTicks */
    ULONGLONG benchReports;        /* bench values reported to subscriptions (OnValue calls) */
    ULONGLONG benchCallbackTime;   /* 100 ns units: wall time spent inside those OnValue calls */
    ULONGLONG deliveryCpuTime;     /* 100 ns units: user + kernel time of the delivery thread,
                                      of every one there has been; it runs the clock too */
    ULONGLONG deliveryBusyTime;    /* 100 ns units: wall time the delivery thread spent outside
                                      its waits; as fine-grained as the performance counter,
                                      where thread times may count in whole clock ticks */
    DWORD deliveryThreadId;        /* 0 while no delivery thread runs */
} SimDeliveryStats;

void WINAPI SimGetDeliveryStats(SimDeliveryStats* stats);

/* twdynam: text objects made by NewUnicodeGuts, NewAnsiGuts or SimNewRefusingText and not
   yet freed. */
LONG WINAPI SimLiveTextObjects(void);

/* twdynam: a new text object with one reference that answers IUnknown alone, refusing both
   text interfaces, as a damaged payload would; null when out of memory. */
IUnknown* WINAPI SimNewRefusingText(void);

#ifdef __cplusplus
}
#endif

#endif
