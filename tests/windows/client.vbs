' A late-bound client of the mount service, as scripts use it. cscript hides
' run-time errors, so each result is checked here and the exit code says
' which check failed (0: all passed).
Option Explicit
Dim disk, count
On Error Resume Next

' Ends with `code`, the object released first: a script that quits while it
' holds the object would keep the server for good under Wine, which does not
' notice a client that went away.
Sub Finish(code)
  Set disk = Nothing
  WScript.Quit code
End Sub

Set disk = CreateObject("vkbvd_mount_service.VirtualDisk")
If Err.Number <> 0 Then Finish 1

' No driver: the method's result -9 comes back as the error.
Err.Clear
disk.mount "C:\images\volume.vkb", "", "tag", False, "", "", "", "", Empty
If Err.Number <> -9 Then Finish 2

' The driver query fails: 1, a success code, and the argument stays empty.
Err.Clear
disk.enumMounted count
If Err.Number <> 0 Or Not IsEmpty(count) Then Finish 3

Err.Clear
disk.umount "tag", Empty
If Err.Number <> 0 Then Finish 4

WScript.Echo "all checks passed"
Finish 0
