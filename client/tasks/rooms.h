// Rooms: one user creates a room with a code, a click time and a number of participants, the others
// join it with the code; each machine then confirms its seat and its click task takes over.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "tasks/task_request.h"

// ---- user-interface-thread actions of the create card and the join card ------------------------

// "自动生成房间号": an 8-character code derived from the account and the unified time.
void GenerateRoomCode();
// "创建房间" and "加入房间".
void StartCreateRoom();
void StartJoinRoom();
// A joining machine learns the click time from the room: the confirmation box says so.
inline constexpr wchar_t kJoinClickTimeLine[] = L"由创建房间的人设定，加入后左侧显示倒计时";

// ---- the rules and the wire texts, free of windows, clocks and the network ---------------------

// The characters of generated codes: A–Z and 2–9 without O, 0, I and 1, which read alike when a code is
// passed on by voice or copied from a projector. Thirty-two of them, so a byte modulo their number
// favours none.
inline constexpr char kRoomCodeAlphabet[] = "ABCDEFGHJKLMNPQRSTUVWXYZ23456789";
inline constexpr size_t kRoomCodeAlphabetSize = sizeof kRoomCodeAlphabet - 1;

// The code as it is sent: the typed text in UTF-8 with a–z made upper case (nothing else changes).
std::string NormaliseRoomCode(const std::wstring& typed);
// 4–16 bytes, each A–Z, 0–9, "_" or "-".
bool IsValidRoomCode(const std::string& code);

// The participants field as a number: leading white space and a sign allowed, digits read up to the
// first other character; no digits gives 0.
int64_t ParseParticipants(const std::wstring& text);
bool ParticipantsAllowed(int64_t participants);  // 2…100000

inline constexpr wchar_t kRoomCodeFaultText[] = L"房间号需要 4-16 位，只能包含英文字母、数字、_ 或 -。";
inline constexpr wchar_t kParticipantsFaultText[] = L"人数需要填写 2-100000 之间的整数。";
// Nothing when the code (as sent: upper-cased) is valid.
std::optional<InputFault> FaultOfRoomCode(FormField field, const std::string& code);
std::optional<InputFault> FaultOfParticipants(const std::wstring& text);

// The code derived from an account's e-mail and a unified time: character i is the alphabet letter
// of byte i of SHA-256("email|ms") modulo the alphabet's size. Nothing when hashing fails.
std::optional<std::string> DeriveRoomCode(const std::string& email, int64_t unifiedNowMs);

std::string RoomCreateBody(const std::string& code, int64_t executeAtMs, int64_t capacity,
                           const std::string& taskFields);
std::string RoomJoinBody(const std::string& code, const std::string& taskFields);
std::string RoomConfirmBody(int64_t taskId, const std::string& taskFields);
