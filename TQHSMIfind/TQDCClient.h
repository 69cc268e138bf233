#pragma once

// The data-classification (DC) rule converter: turns a rule such as
//
//   find files where highFreeVolume = 80 AND lastAccessedDays < 30;
//
// into an SQL query over the index table "files" and hands back the free-space
// watermarks that the rule names. The converter is a set of free functions over
// process-wide globals: one conversion at a time, from one thread.
//
// Every conversion (convert_dc_to_sql, convert_dc_to_sql_lg) starts from a clean
// token stack, empty user and group lists, cleared negation flags and zero
// percentages; the globals keep their values after the call so that callers can
// read them. Each conversion writes its trace to "/tmp/log" and closes it before
// it returns; the trace is skipped when that name holds anything but a regular
// file of the converting user with a single link (a symbolic link, a FIFO, a
// directory, a hard link, another user's file), or cannot be opened.

#include <cstdio>
#include <string>
#include <vector>

#include "TQHSMExport.h"

// Token classes of words and quoted strings. Every other token carries the
// character itself as its type, e.g. '(' or '<'.
enum {
  DC_TOKEN_FIND = 0,
  DC_TOKEN_WHERE = 1,
  DC_TOKEN_IDENTIFIER = 2,
  DC_TOKEN_CHAR = 3,
  DC_TOKEN_CONST = 4,
  DC_TOKEN_INT = 5
};

// Room for the token stack; at most DC_STACK_SIZE - 1 tokens are ever held.
#define DC_STACK_SIZE 5120
// A token's text is at most DC_TOKEN_TEXT_SIZE - 1 characters.
#define DC_TOKEN_TEXT_SIZE 256

struct DCToken {
  char type;
  char value[DC_TOKEN_TEXT_SIZE];
};

// Tokenizer and token stack.
extern TQHSM_API DCToken stack[DC_STACK_SIZE];
extern TQHSM_API int stackCount;
extern TQHSM_API DCToken current;
// The debug log of the conversion that is running; null between conversions.
extern TQHSM_API FILE* fp;

// Term state.
extern TQHSM_API bool uid_negative;
extern TQHSM_API bool gid_negative;
extern TQHSM_API std::vector<std::string> v_users;
extern TQHSM_API std::vector<std::string> v_groups;
extern TQHSM_API int high_free_space;
extern TQHSM_API int low_free_space;

TQHSM_API int classifyString(const char* text);
TQHSM_API bool isAlphaNumeric(char c);
TQHSM_API bool isNumeric(const char* text);
TQHSM_API bool isBoolOperator(const char* text);
TQHSM_API bool isSpace(char c);
TQHSM_API void push();
TQHSM_API void pop();
// Reads one token at pos into `current` and returns the position after it.
// Returns null, with `current` empty, at the end of the text, for a word or
// quoted string longer than DC_TOKEN_TEXT_SIZE - 1 characters and for a quote
// that is never closed.
TQHSM_API const char* getNextToken(const char* pos, int* unused);
// Pushes the tokens of text up to its ';' (blanks and newlines dropped) behind
// those already on the stack. Returns the position after the ';', or null when
// there is none or a token cannot be read (see getNextToken).
TQHSM_API const char* read_all_tokens(const char* text, int* count);

// Term translation.
TQHSM_API int handle_day_to_time(int kind, int* index, char* query, int size);
TQHSM_API int handle_free_space(int selector, int* index);
TQHSM_API int get_user_id_for_user(const char* name);
TQHSM_API int get_group_id_for_group(const char* name);
TQHSM_API int handle_user_id(std::string& clause);
TQHSM_API int handle_group_id(std::string& clause);

// Query assembly.
TQHSM_API int safe_strncat(char* dest, const char* src, int size);
TQHSM_API void append_with_delimiter(char* dest, const char* src, char delim, int size);
TQHSM_API int convert_dc_to_sql_lg(const char* rule, char* query, int size);
TQHSM_API int convert_dc_to_sql(const char* rule, char* query, int size, unsigned int* highFree,
                                unsigned int* lowFree);
TQHSM_API int dump_parse_tree();
