#pragma once
// The GMime (and glib) functions the mail layer calls, loaded the first time
// a mail item is written or read (platform/lib/LazyLibrary.h): most runs
// never touch a mail message and do not load GMime, glib, gio and gpgme.
// Each name below calls through the table, the type-check macros too.
#include <gmime/gmime.h>

#include "platform/lib/LazyLibrary.h"

namespace brevant::mail {

#define BREVANT_GMIME_FUNCTIONS(X)            \
  X(g_date_time_new_from_unix_utc)            \
  X(g_date_time_to_unix)                      \
  X(g_date_time_unref)                        \
  X(g_free)                                   \
  X(g_mime_content_type_get_mime_type)        \
  X(g_mime_content_type_is_type)              \
  X(g_mime_data_wrapper_new_with_stream)      \
  X(g_mime_data_wrapper_write_to_stream)      \
  X(g_mime_format_options_free)               \
  X(g_mime_format_options_new)                \
  X(g_mime_format_options_set_newline_format) \
  X(g_mime_header_get_name)                   \
  X(g_mime_header_get_value)                  \
  X(g_mime_header_list_get_count)             \
  X(g_mime_header_list_get_header_at)         \
  X(g_mime_init)                              \
  X(g_mime_message_add_mailbox)               \
  X(g_mime_message_get_addresses)             \
  X(g_mime_message_get_date)                  \
  X(g_mime_message_get_from)                  \
  X(g_mime_message_get_mime_part)             \
  X(g_mime_message_get_subject)               \
  X(g_mime_message_new)                       \
  X(g_mime_message_part_get_message)          \
  X(g_mime_message_part_get_type)             \
  X(g_mime_message_set_date)                  \
  X(g_mime_message_set_message_id)            \
  X(g_mime_message_set_mime_part)             \
  X(g_mime_message_set_subject)               \
  X(g_mime_multipart_add)                     \
  X(g_mime_multipart_get_count)               \
  X(g_mime_multipart_get_part)                \
  X(g_mime_multipart_get_type)                \
  X(g_mime_multipart_new_with_subtype)        \
  X(g_mime_object_append_header)              \
  X(g_mime_object_get_content_id)             \
  X(g_mime_object_get_content_type)           \
  X(g_mime_object_get_header)                 \
  X(g_mime_object_get_header_list)            \
  X(g_mime_object_get_type)                   \
  X(g_mime_object_set_content_id)             \
  X(g_mime_object_set_disposition)            \
  X(g_mime_object_set_header)                 \
  X(g_mime_object_write_to_stream)            \
  X(g_mime_parser_construct_message)          \
  X(g_mime_parser_new_with_stream)            \
  X(g_mime_part_get_content)                  \
  X(g_mime_part_get_content_description)      \
  X(g_mime_part_get_filename)                 \
  X(g_mime_part_get_type)                     \
  X(g_mime_part_is_attachment)                \
  X(g_mime_part_new_with_type)                \
  X(g_mime_part_set_content)                  \
  X(g_mime_part_set_content_description)      \
  X(g_mime_part_set_content_encoding)         \
  X(g_mime_part_set_filename)                 \
  X(g_mime_stream_mem_get_byte_array)         \
  X(g_mime_stream_mem_get_type)               \
  X(g_mime_stream_mem_new)                    \
  X(g_mime_stream_mem_new_with_buffer)        \
  X(g_mime_text_part_get_text)                \
  X(g_mime_text_part_get_type)                \
  X(g_mime_text_part_new_with_subtype)        \
  X(g_mime_text_part_set_text)                \
  X(g_mime_utils_generate_message_id)         \
  X(g_object_unref)                           \
  X(g_type_check_instance_cast)               \
  X(g_type_check_instance_is_a)               \
  X(internet_address_list_append)             \
  X(internet_address_list_parse)              \
  X(internet_address_list_to_string)

struct GMimeApi {
  BREVANT_GMIME_FUNCTIONS(BREVANT_LAZY_MEMBER)
};

// The loaded table, or nullptr when GMime cannot be loaded.
const GMimeApi* GMimeLibrary();
// The loaded table; throws MailError when the library cannot be loaded.
const GMimeApi& GMime();

}  // namespace brevant::mail

#ifndef BREVANT_LAZY_LOADER
#define g_date_time_new_from_unix_utc (::brevant::mail::GMime().g_date_time_new_from_unix_utc)
#define g_date_time_to_unix (::brevant::mail::GMime().g_date_time_to_unix)
#define g_date_time_unref (::brevant::mail::GMime().g_date_time_unref)
#define g_free (::brevant::mail::GMime().g_free)
#define g_mime_content_type_get_mime_type (::brevant::mail::GMime().g_mime_content_type_get_mime_type)
#define g_mime_content_type_is_type (::brevant::mail::GMime().g_mime_content_type_is_type)
#define g_mime_data_wrapper_new_with_stream (::brevant::mail::GMime().g_mime_data_wrapper_new_with_stream)
#define g_mime_data_wrapper_write_to_stream (::brevant::mail::GMime().g_mime_data_wrapper_write_to_stream)
#define g_mime_format_options_free (::brevant::mail::GMime().g_mime_format_options_free)
#define g_mime_format_options_new (::brevant::mail::GMime().g_mime_format_options_new)
#define g_mime_format_options_set_newline_format \
  (::brevant::mail::GMime().g_mime_format_options_set_newline_format)
#define g_mime_header_get_name (::brevant::mail::GMime().g_mime_header_get_name)
#define g_mime_header_get_value (::brevant::mail::GMime().g_mime_header_get_value)
#define g_mime_header_list_get_count (::brevant::mail::GMime().g_mime_header_list_get_count)
#define g_mime_header_list_get_header_at (::brevant::mail::GMime().g_mime_header_list_get_header_at)
#define g_mime_init (::brevant::mail::GMime().g_mime_init)
#define g_mime_message_add_mailbox (::brevant::mail::GMime().g_mime_message_add_mailbox)
#define g_mime_message_get_addresses (::brevant::mail::GMime().g_mime_message_get_addresses)
#define g_mime_message_get_date (::brevant::mail::GMime().g_mime_message_get_date)
#define g_mime_message_get_from (::brevant::mail::GMime().g_mime_message_get_from)
#define g_mime_message_get_mime_part (::brevant::mail::GMime().g_mime_message_get_mime_part)
#define g_mime_message_get_subject (::brevant::mail::GMime().g_mime_message_get_subject)
#define g_mime_message_new (::brevant::mail::GMime().g_mime_message_new)
#define g_mime_message_part_get_message (::brevant::mail::GMime().g_mime_message_part_get_message)
#define g_mime_message_part_get_type (::brevant::mail::GMime().g_mime_message_part_get_type)
#define g_mime_message_set_date (::brevant::mail::GMime().g_mime_message_set_date)
#define g_mime_message_set_message_id (::brevant::mail::GMime().g_mime_message_set_message_id)
#define g_mime_message_set_mime_part (::brevant::mail::GMime().g_mime_message_set_mime_part)
#define g_mime_message_set_subject (::brevant::mail::GMime().g_mime_message_set_subject)
#define g_mime_multipart_add (::brevant::mail::GMime().g_mime_multipart_add)
#define g_mime_multipart_get_count (::brevant::mail::GMime().g_mime_multipart_get_count)
#define g_mime_multipart_get_part (::brevant::mail::GMime().g_mime_multipart_get_part)
#define g_mime_multipart_get_type (::brevant::mail::GMime().g_mime_multipart_get_type)
#define g_mime_multipart_new_with_subtype (::brevant::mail::GMime().g_mime_multipart_new_with_subtype)
#define g_mime_object_append_header (::brevant::mail::GMime().g_mime_object_append_header)
#define g_mime_object_get_content_id (::brevant::mail::GMime().g_mime_object_get_content_id)
#define g_mime_object_get_content_type (::brevant::mail::GMime().g_mime_object_get_content_type)
#define g_mime_object_get_header (::brevant::mail::GMime().g_mime_object_get_header)
#define g_mime_object_get_header_list (::brevant::mail::GMime().g_mime_object_get_header_list)
#define g_mime_object_get_type (::brevant::mail::GMime().g_mime_object_get_type)
#define g_mime_object_set_content_id (::brevant::mail::GMime().g_mime_object_set_content_id)
#define g_mime_object_set_disposition (::brevant::mail::GMime().g_mime_object_set_disposition)
#define g_mime_object_set_header (::brevant::mail::GMime().g_mime_object_set_header)
#define g_mime_object_write_to_stream (::brevant::mail::GMime().g_mime_object_write_to_stream)
#define g_mime_parser_construct_message (::brevant::mail::GMime().g_mime_parser_construct_message)
#define g_mime_parser_new_with_stream (::brevant::mail::GMime().g_mime_parser_new_with_stream)
#define g_mime_part_get_content (::brevant::mail::GMime().g_mime_part_get_content)
#define g_mime_part_get_content_description (::brevant::mail::GMime().g_mime_part_get_content_description)
#define g_mime_part_get_filename (::brevant::mail::GMime().g_mime_part_get_filename)
#define g_mime_part_get_type (::brevant::mail::GMime().g_mime_part_get_type)
#define g_mime_part_is_attachment (::brevant::mail::GMime().g_mime_part_is_attachment)
#define g_mime_part_new_with_type (::brevant::mail::GMime().g_mime_part_new_with_type)
#define g_mime_part_set_content (::brevant::mail::GMime().g_mime_part_set_content)
#define g_mime_part_set_content_description (::brevant::mail::GMime().g_mime_part_set_content_description)
#define g_mime_part_set_content_encoding (::brevant::mail::GMime().g_mime_part_set_content_encoding)
#define g_mime_part_set_filename (::brevant::mail::GMime().g_mime_part_set_filename)
#define g_mime_stream_mem_get_byte_array (::brevant::mail::GMime().g_mime_stream_mem_get_byte_array)
#define g_mime_stream_mem_get_type (::brevant::mail::GMime().g_mime_stream_mem_get_type)
#define g_mime_stream_mem_new (::brevant::mail::GMime().g_mime_stream_mem_new)
#define g_mime_stream_mem_new_with_buffer (::brevant::mail::GMime().g_mime_stream_mem_new_with_buffer)
#define g_mime_text_part_get_text (::brevant::mail::GMime().g_mime_text_part_get_text)
#define g_mime_text_part_get_type (::brevant::mail::GMime().g_mime_text_part_get_type)
#define g_mime_text_part_new_with_subtype (::brevant::mail::GMime().g_mime_text_part_new_with_subtype)
#define g_mime_text_part_set_text (::brevant::mail::GMime().g_mime_text_part_set_text)
#define g_mime_utils_generate_message_id (::brevant::mail::GMime().g_mime_utils_generate_message_id)
#define g_object_unref (::brevant::mail::GMime().g_object_unref)
#define g_type_check_instance_cast (::brevant::mail::GMime().g_type_check_instance_cast)
#define g_type_check_instance_is_a (::brevant::mail::GMime().g_type_check_instance_is_a)
#define internet_address_list_append (::brevant::mail::GMime().internet_address_list_append)
#define internet_address_list_parse (::brevant::mail::GMime().internet_address_list_parse)
#define internet_address_list_to_string (::brevant::mail::GMime().internet_address_list_to_string)
#endif
