/*
 * QS.h - the C interface of the QS motion-capture client library.
 *
 * The library connects to a capture server (TCP port 801), receives its
 * frames on a thread of its own, and answers queries about the newest frame
 * it has taken with GetFrame. Include this header from C (C89 or later) or
 * C++; every function has C linkage and an undecorated name.
 *
 * Conventions that hold for every function below
 * ----------------------------------------------
 * Booleans     Every boolean result (QSBool) is one byte: 0 for false, 1 for
 *              true. The one boolean argument (SetPreFetchMode) is one byte;
 *              any non-zero value means true.
 * Indexes      Subject, segment, marker, force plate and analog channel
 *              indexes are 1-based. They are compared as unsigned numbers:
 *              0 is always rejected and a negative index is out of range.
 * Outputs      A function first writes its neutral output (0, 0.0, an all-zero
 *              vector, "" for a name, 0 for an occluded flag) and only then
 *              checks its preconditions, so after a failed call every output
 *              holds that neutral value. Output pointers must point to the
 *              number of values stated; a null output pointer is tolerated
 *              and simply receives nothing.
 * Checks       Queries fail (false, neutral output) when the library is not
 *              connected or no frame has been taken yet since the library was
 *              loaded (a frame taken during an earlier connection still
 *              answers after a new Connect until a newer one is taken).
 * Names        Subject, segment and marker names are NUL-terminated byte
 *              strings compared exactly (case-sensitive); the first match in
 *              the order the server sent wins. A null name pointer is treated
 *              as the empty string.
 * Name buffers GetSubjectName, GetSegmentName and GetMarkerName return a
 *              pointer into a buffer owned by the library, one buffer per
 *              function and calling thread. The pointer is never null. It
 *              stays valid, and its text unchanged, until the same thread
 *              calls the same function again or the library is unloaded;
 *              other threads' calls never change it. The three buffers are
 *              independent: calling one getter never changes the text
 *              returned by another. Copy the text if you need it longer.
 * Threading    Every function may be called from any number of host threads
 *              at once. Calls are serialised inside the library: the frame
 *              that GetFrame takes, from any thread, is the one every later
 *              query answers from, on every thread. Connect lets other
 *              threads' calls run while it waits for the server (they answer
 *              as when not connected). Besides the host's threads the library
 *              runs its own receiving thread (while connected) and, when
 *              prefetching is on, its own prefetch thread.
 * Axes         The axis setters convert translations and force-plate vectors
 *              (force, moment, centre of pressure) only; the stored value is
 *              (x, y, z):
 *                right-handed, Z-up (default)   ( x,  y,  z)
 *                right-handed, Y-up             ( x,  z, -y)
 *                left-handed,  Z-up             (-x,  y,  z)
 *                left-handed,  Y-up             (-x,  z, -y)
 *              Negation is an exact sign change (0.0 becomes -0.0). Rotations
 *              are never converted: they are always in the server's axes
 *              (right-handed, Z-up), whatever the settings (a host wanting
 *              them in its axes takes A R A^T for the conversion A).
 *              Quaternions are written in the order x, y, z, w (scalar last).
 *              A helical rotation is the unit axis times the angle in radians;
 *              the angle lies in 0 to 2 pi and is not reduced to -pi to pi.
 * Lost link    When the server ends the connection, or stops answering at
 *              the network level for about 10 seconds (TCP keep-alive and a
 *              bound on unacknowledged data), IsConnected returns false,
 *              GetFrame returns 0 and every query fails. Disconnect then still returns 0 (nothing
 *              is connected), but it stops prefetching and releases the
 *              dead connection, so a later Connect can succeed.
 * Unloading    Call Disconnect before unloading the library (FreeLibrary,
 *              dlclose). On Windows, once the library has started a thread of
 *              its own (a successful Connect, or SetPreFetchMode(1)), it stays
 *              loaded until the process ends: FreeLibrary then returns at once
 *              and unloads nothing, a connection still held goes on until
 *              Disconnect or process exit, and a later LoadLibrary gets the
 *              same library with its settings and its last frame. At process
 *              exit the library leaves its threads, socket and memory to the
 *              system and waits for nothing.
 */
#ifndef QS_H_INCLUDED
#define QS_H_INCLUDED

#include <stdint.h>

#if defined(_WIN32)
#  define QS_CALL __cdecl
#  if defined(QS_BUILDING)
#    define QS_API __declspec(dllexport)
#  else
#    define QS_API __declspec(dllimport)
#  endif
#elif defined(__GNUC__) || defined(__clang__)
#  define QS_CALL
#  define QS_API __attribute__((visibility("default")))
#else
#  define QS_CALL
#  define QS_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* One-byte boolean: 0 false, 1 true. */
typedef unsigned char QSBool;

/* Connection ------------------------------------------------------------ */

/* Connects to the capture server HostName (name or address) on port 801 and
 * blocks until the attempt is over. On success only scene descriptions and
 * frame numbers are requested; the Enable... functions add the per-frame
 * data kinds. Returns 0 without any attempt for a null or empty host name and
 * while a connection is held; returns 0 when the server cannot be reached.
 * The hand rule, up axis and prefetch mode are not changed.
 * How long it blocks: each address of the host is given at most 5 seconds
 * (a machine that is off answers nothing); a refused port fails at once. A
 * numeric address needs no name lookup; a host name whose DNS server does not
 * answer can add the system resolver's own time-out before the attempt.
 * Once connected, a server that stops answering at the network level (power
 * cut, cable pulled) is noticed within about 10 seconds (see "Lost link"); a
 * live server that merely sends nothing keeps the connection. */
QS_API QSBool QS_CALL Connect(const char* HostName);

/* Stops prefetching and closes the connection; returns 1. Returns 0 when no
 * connection is held. After a lost connection it returns 0 as well, but it
 * still stops prefetching and releases the dead connection (see "Lost link"). */
QS_API QSBool QS_CALL Disconnect(void);

/* 1 while the connection to the server stands, otherwise 0. */
QS_API QSBool QS_CALL IsConnected(void);

/* Takes the newest frame received (or, with prefetching on, the newest frame
 * the prefetch thread took) as the frame every query answers from. Returns 1
 * when connected, also when no newer frame has arrived (the previous frame
 * then stays); GetFrameNumber tells whether the frame changed. 0 when not
 * connected. */
QS_API QSBool QS_CALL GetFrame(void);

/* Writes the number of the current frame to *FrameNumber (neutral 0). Fails
 * when not connected or no frame has been taken yet. */
QS_API QSBool QS_CALL GetFrameNumber(int32_t* FrameNumber);

/* Data kinds -------------------------------------------------------------- */

/* Asks the server for global segment poses from now on. 0 when not
 * connected. A data kind stays enabled until Disconnect. */
QS_API QSBool QS_CALL EnableSegmentData(void);

/* Asks the server for marker positions from now on. 0 when not connected. */
QS_API QSBool QS_CALL EnableMarkerData(void);

/* Asks the server for force, moment, centre of pressure and voltage data
 * from now on. 0 when not connected. */
QS_API QSBool QS_CALL EnableForcePlateData(void);

/* Subjects, segments, markers ----------------------------------------------- */

/* Writes the number of subjects of the current frame to *SubjectCount
 * (neutral 0; 0 subjects is a valid answer). Fails when not connected or no
 * frame has been taken. */
QS_API QSBool QS_CALL GetSubjectCount(int32_t* SubjectCount);

/* The name of subject SubjectIndex (1-based, in the order the server sent).
 * Returns "" for index 0, an index past the last subject, or when not
 * connected or without a frame. The text lives in this function's own buffer
 * (see "Name buffers"). */
QS_API const char* QS_CALL GetSubjectName(int32_t SubjectIndex);

/* Writes the number of segments of the first subject named SubjectName to
 * *SegmentCount (neutral 0). Fails for an empty or null name, when not
 * connected, without a frame, or when no subject has that name. */
QS_API QSBool QS_CALL GetSegmentCount(const char* SubjectName, int32_t* SegmentCount);

/* The name of segment SegmentIndex (1-based) of the first subject named
 * SubjectName that has at least that many segments (a shorter subject of the
 * same name is passed over). "" on any failure; the text lives in this
 * function's own buffer. */
QS_API const char* QS_CALL GetSegmentName(const char* SubjectName, int32_t SegmentIndex);

/* Writes the number of markers of the first subject named SubjectName to
 * *MarkerCount (neutral 0). Fails as GetSegmentCount. */
QS_API QSBool QS_CALL GetMarkerCount(const char* SubjectName, int32_t* MarkerCount);

/* The name of marker MarkerIndex (1-based) of the first subject named
 * SubjectName that has at least that many markers. "" on any failure; the
 * text lives in this function's own buffer. */
QS_API const char* QS_CALL GetMarkerName(const char* SubjectName, int32_t MarkerIndex);

/* Poses -----------------------------------------------------------------------
 * The four pose functions write 3 (or 4) doubles and an occluded flag, which
 * is always written as 0 or 1, on success and failure alike. They fail
 * (0, zeros, occluded 0) when not connected, without a frame, for an empty or
 * null name, or when no subject of that name has such a segment (marker).
 * When the names resolve but the current frame carries no value for them
 * (the data kind is not enabled, or the server sent none), they return 1
 * with zeros and occluded 1. */

/* The segment's translation, in the chosen axis convention. */
QS_API QSBool QS_CALL GetGlobalSegmentTranslation(const char* SubjectName,
                                                  const char* SegmentName,
                                                  double Translation[3], int32_t* Occluded);

/* The segment's rotation as a helical vector (unit axis times angle in
 * radians, angle in 0 to 2 pi); always in the server's axes, not converted by
 * SetLeftHandRule or SetYUp. */
QS_API QSBool QS_CALL GetGlobalSegmentRotationHelical(const char* SubjectName,
                                                      const char* SegmentName,
                                                      double Helical[3], int32_t* Occluded);

/* The segment's rotation as a quaternion in the order x, y, z, w; always in
 * the server's axes, not converted by SetLeftHandRule or SetYUp, and not
 * sign-normalised. */
QS_API QSBool QS_CALL GetGlobalSegmentRotationQuaternion(const char* SubjectName,
                                                         const char* SegmentName,
                                                         double Quaternion[4], int32_t* Occluded);

/* The marker's position, in the chosen axis convention. */
QS_API QSBool QS_CALL GetGlobalMarkerTranslation(const char* SubjectName,
                                                 const char* MarkerName,
                                                 double Translation[3], int32_t* Occluded);

/* Force plates and analog channels ---------------------------------------------
 * A force plate is a device with exactly three outputs whose component names
 * are ("Fx"|"Mx"|"Cx", "Fy"|"My"|"Cy", "Fz"|"Mz"|"Cz"), compared
 * case-sensitively; its first other output carries its analog channels.
 * Plates are addressed by device id. Every function fails (neutral output)
 * when not connected or without a frame, and for an id that is not a force
 * plate. */

/* Writes the number of force plates of the current frame to *Count (neutral
 * 0; 0 is a valid answer). */
QS_API QSBool QS_CALL GetForcePlateCount(int32_t* Count);

/* Writes the device id of force plate PlateIndex (1-based, in device order) to
 * *DeviceID (neutral 0). Fails for 0 and past the last plate. */
QS_API QSBool QS_CALL GetForcePlateID(int32_t PlateIndex, int32_t* DeviceID);

/* Writes the plate's first force sample (3 doubles, chosen axis convention).
 * Fails when the frame holds no force data for the plate. */
QS_API QSBool QS_CALL GetForceVector(int32_t DeviceID, double Force[3]);

/* Writes the plate's first moment sample (3 doubles, chosen axis convention).
 * Fails when the frame holds no moment data for the plate. */
QS_API QSBool QS_CALL GetMomentVector(int32_t DeviceID, double Moment[3]);

/* Writes the plate's first centre-of-pressure sample (3 doubles, chosen axis
 * convention). Fails when the frame holds no such data for the plate. */
QS_API QSBool QS_CALL GetCentreOfPressure(int32_t DeviceID, double Centre[3]);

/* Writes the number of analog channels of the plate to *Count (neutral 0;
 * 0 when its analog output has no channel names). Fails when the plate has
 * no analog output. */
QS_API QSBool QS_CALL GetNumberOfAnalogChannels(int32_t DeviceID, int32_t* Count);

/* Writes the first sample of analog channel Channel (1-based) of the plate to
 * *Voltage (neutral 0.0). Fails for channel 0, a channel above the number of
 * channels, a plate without analog channels, and when the frame holds no
 * voltage data for the plate. */
QS_API QSBool QS_CALL GetAnalogChannelVoltage(int32_t DeviceID, int32_t Channel, double* Voltage);

/* Settings ------------------------------------------------------------------ */

/* Non-zero: starts prefetching (a library thread keeps taking the newest
 * frame, and GetFrame only copies it); a second start adds no thread.
 * 0: stops prefetching and returns once the prefetch thread has ended. Works
 * connected or not; Disconnect also stops it. While on, the prefetch thread
 * keeps one processor busy. */
QS_API void QS_CALL SetPreFetchMode(QSBool Enable);

/* Left-handed output: x is negated in translations and force-plate vectors
 * only; rotations stay in the server's axes. Takes effect on the next query. */
QS_API void QS_CALL SetLeftHandRule(void);

/* Right-handed output (the default). */
QS_API void QS_CALL SetRightHandRule(void);

/* Y-up output: (x, y, z) becomes (x, z, -y) in translations and force-plate
 * vectors only; rotations stay in the server's axes. */
QS_API void QS_CALL SetYUp(void);

/* Z-up output (the default). */
QS_API void QS_CALL SetZUp(void);

#ifdef __cplusplus
}
#endif

#endif /* QS_H_INCLUDED */
