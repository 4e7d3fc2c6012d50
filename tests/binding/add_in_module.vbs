' VELMOSWGlobalLib used the way an add-in module's script uses it: created by ProgID, started up
' on an installation, its properties, settings, parameter files, the documents it hands out (read
' as a module reads them) and a user switch.
'
'   cscript //nologo add_in_module.vbs APP_DIR USER_DIR OTHER_USER_DIR
'
' The directories come without a trailing separator, as the installer stored them. Prints
' "ok NAME" or "not ok NAME: WHY" for each check and exits with the number of failures.
'
' A runtime error would end the script with status 0, so every call runs under Resume Next and
' Err is read right after it; a check whose own expression failed is caught by the plan.
Option Explicit
On Error Resume Next

Const PLANNED = 45
Const PROGID = "VELMOSWGlobalLib.MOLTRAGlobalClass"
Dim checks, failures, e, r
checks = 0
failures = 0

Sub Check(name, errNumber, passed, why)
  checks = checks + 1
  If errNumber <> 0 Then
    failures = failures + 1
    WScript.Echo "not ok " & name & ": error 0x" & Hex(errNumber)
  ElseIf passed Then
    WScript.Echo "ok " & name
  Else
    failures = failures + 1
    WScript.Echo "not ok " & name & ": " & why
  End If
End Sub

Function Same(a, b)
  Same = False
  If IsObject(a) And IsObject(b) Then Same = (a Is b)
End Function

Function IsSomething(x)
  IsSomething = False
  If IsObject(x) Then IsSomething = Not (x Is Nothing)
End Function

Function IsNone(x)
  IsNone = False
  If IsObject(x) Then IsNone = (x Is Nothing)
End Function

Function Shown(x)
  If IsObject(x) Then
    Shown = "an object"
  Else
    Shown = "'" & x & "' (type " & VarType(x) & ")"
  End If
End Function

Dim appDir, userDir, otherUser
appDir = WScript.Arguments(0)
userDir = WScript.Arguments(1)
otherUser = WScript.Arguments(2)
Dim beam, missing
beam = appDir & "\params\beam.pp"
missing = appDir & "\params\none.pp"
Const releaseKey = "HKCU\SOFTWARE\MOLTRA\VELMO_SW2\VELMO_SW2 2\"

Dim shell, fso
Set shell = CreateObject("WScript.Shell")
Set fso = CreateObject("Scripting.FileSystemObject")

' --- Creation and start-up
Dim g
Err.Clear
Set g = CreateObject(PROGID)
e = Err.Number
Check "create", e, IsSomething(g), "no object"

Err.Clear
r = g.MOLTRAG_Init()
e = Err.Number
Check "init", e, r = 0, "returned " & Shown(r)

Dim v
Err.Clear
v = g.Version
e = Err.Number
Check "version", e, v = "2008", Shown(v)

Err.Clear
v = g.MOLTRAG_GetServicePack
e = Err.Number
Check "service-pack", e, v = "2", Shown(v)

Err.Clear
v = g.AppPath
e = Err.Number
Check "app-path", e, v = appDir & "\", Shown(v)

Err.Clear
v = g.RepBase
e = Err.Number
Check "rep-base", e, v = appDir & "\", Shown(v)

Err.Clear
v = g.UserPath
e = Err.Number
Check "user-path", e, v = userDir & "\", Shown(v)

Err.Clear
v = g.User
e = Err.Number
Check "user", e, v = userDir & "\", Shown(v)

Err.Clear
v = g.Application
e = Err.Number
Check "application", e, v = "VELMO_SW2", Shown(v)

Err.Clear
v = g.Langue
e = Err.Number
Check "langue", e, v = 1, Shown(v)

Err.Clear
v = g.MOLTRAG_IsDebug
e = Err.Number
Check "debug-off", e, v = False, Shown(v)

Dim cfg, geo
Err.Clear
Set cfg = g.VelmoCFG
e = Err.Number
Check "velmocfg", e, IsSomething(cfg), "no configuration object"

Err.Clear
Set geo = g.GeometrieDat
e = Err.Number
Check "geometrie-dat", e, IsSomething(geo), "no geometry object"

' The user's configuration with the application's merged under it, read as a module reads it.
Err.Clear
v = cfg.Value("General", "Nom") & "," & cfg.Value("general", "UNITES")
e = Err.Number
Check "velmocfg-values", e, v = "utilisateur,mm", Shown(v)

Dim names
Err.Clear
names = cfg.Sections
e = Err.Number
Check "velmocfg-sections", e, IsArray(names), Shown(TypeName(names))
If IsArray(names) Then
  Check "velmocfg-section-names", 0, UBound(names) = 0 And names(0) = "General", _
    "upper bound " & UBound(names)
Else
  Check "velmocfg-section-names", 0, False, "no array"
End If

Err.Clear
v = IsEmpty(geo.Value("Poutre", "Largeur")) And geo.Value("Poutre", "Hauteur") = "200"
e = Err.Number
Check "geometrie-dat-values", e, v, Shown(v)

' Another module's instance on the same thread sees the same start-up.
Dim g2
Err.Clear
Set g2 = CreateObject(PROGID)
v = g2.AppPath
e = Err.Number
Check "second-instance-shares", e, v = appDir & "\", Shown(v)

' --- Settings
Err.Clear
v = g.RegWriteInterfaceValue("DEBUG", "1")
e = Err.Number
Check "write-interface-value", e, v = True, Shown(v)

Err.Clear
v = g.RegReadInterfaceValue("DEBUG")
e = Err.Number
Check "read-interface-value", e, v = "1", Shown(v)

Err.Clear
v = g.MOLTRAG_IsDebug
e = Err.Number
Check "debug-on", e, v = True, Shown(v)

Err.Clear
v = shell.RegRead(releaseKey & "Interface\DEBUG")
e = Err.Number
Check "interface-value-in-registry", e, v = "1", Shown(v)

Err.Clear
v = g.RegWriteSecurityValue("Niveau", "3")
e = Err.Number
Check "write-security-value", e, v = True, Shown(v)

Err.Clear
v = g.RegReadSecurityValue("Niveau")
e = Err.Number
Check "read-security-value", e, v = "3", Shown(v)

Err.Clear
g.Langue = 3
v = g.Langue
e = Err.Number
Check "langue-set-from-a-constant", e, v = 3, Shown(v)

Dim lang
lang = 4
Err.Clear
g.Langue = lang
v = g.Langue
e = Err.Number
Check "langue-set-from-a-variable", e, v = 4 And g.RegReadInterfaceValue("Langue") = "4", Shown(v)

' --- Parameter files: the variable passed for PP is filled
Dim pp
Err.Clear
r = g.MOLTRAG_GetPP(beam, pp)
e = Err.Number
Check "getpp-fills-the-variable", e, r = 0 And IsSomething(pp), _
  "returned " & Shown(r) & ", pp " & Shown(pp)

Dim pp2
Err.Clear
r = g.MOLTRAG_GetPP(beam, pp2)
e = Err.Number
Check "getpp-hands-out-the-cached-object", e, r = 0 And Same(pp, pp2), "returned " & Shown(r)

Err.Clear
v = pp.Value("largeur")
e = Err.Number
Check "getpp-values", e, v = "100", Shown(v)

Dim pp3
Err.Clear
r = g.MOLTRAG_GetPP(missing, pp3)
e = Err.Number
Check "getpp-missing-file", e, r = -2 And IsNone(pp3), "returned " & Shown(r) & ", pp " & Shown(pp3)

Dim pp4
Set pp4 = pp
Err.Clear
r = g.MOLTRAG_GetPP(missing, pp4)
e = Err.Number
Check "getpp-missing-file-empties-the-variable", e, r = -2 And IsNone(pp4), "pp " & Shown(pp4)

' --- The configuration object replaced from a variable, by one the module made, and put back
Dim mine
Err.Clear
Set mine = CreateObject("MOLConfigLib.ConfigDocument")
r = mine.Load(userDir & "\dat\velmo.cfg")
Set g.VelmoCFG = mine
e = Err.Number
Check "set-velmocfg-to-a-document-of-the-modules", e, _
  r = True And Same(g.VelmoCFG, mine) And g.VelmoCFG.Value("General", "Unites") = "", _
  "load returned " & Shown(r)

Err.Clear
Set g.VelmoCFG = geo
e = Err.Number
Check "set-velmocfg-from-a-variable", e, Same(g.VelmoCFG, geo), "VelmoCFG is not the object set"

Err.Clear
Set g.VelmoCFG = cfg
e = Err.Number
Check "set-velmocfg-back", e, Same(g.VelmoCFG, cfg), "VelmoCFG is not the object set"

' --- classPP on its own
Dim c
Err.Clear
Set c = CreateObject("VELMOSWGlobalLib.classPP")
e = Err.Number
Check "classpp-create", e, IsSomething(c), "no object"

Err.Clear
r = c.LoadPP(beam)
e = Err.Number
Check "classpp-load", e, r = 0, "returned " & Shown(r)

Err.Clear
v = c.fichier
e = Err.Number
Check "classpp-fichier", e, v = beam, Shown(v)

Err.Clear
v = c.nbAcces
e = Err.Number
Check "classpp-nbacces", e, v = 1, Shown(v)

' The file's date as the Script Runtime reports it: local time.
Dim modified
Err.Clear
v = c.datePP
modified = fso.GetFile(beam).DateLastModified
e = Err.Number
' Wine 8's DateDiff is a stub; dates are days, so compare them as numbers.
Check "classpp-date-is-local", e, _
  VarType(v) = vbDate And Abs(CDbl(v) - CDbl(modified)) * 86400 <= 1, _
  Shown(v) & " against " & modified

Dim document
Err.Clear
Set document = c.PP
e = Err.Number
Check "classpp-pp", e, IsSomething(document), "no parameter object"

' --- A user switch
Err.Clear
r = g.MOLTRAG_EcrireUser(otherUser)
e = Err.Number
Check "switch-user", e, r = 0, "returned " & Shown(r)

Err.Clear
v = g.User
e = Err.Number
Check "switched-user", e, v = otherUser & "\", Shown(v)

Err.Clear
v = shell.RegRead(releaseKey & "USER")
e = Err.Number
Check "switched-user-in-registry", e, v = otherUser & "\", Shown(v)

' --- Closing, and a start-up for another host version
Err.Clear
r = g.MOLTRAG_Close()
e = Err.Number
Check "close", e, r = 0, "returned " & Shown(r)

Err.Clear
r = g.MOLTRAG_Init("2010")
v = g.MOLTRAG_GetServicePack
e = Err.Number
Check "init-2010", e, r = 0 And v = "1", "returned " & Shown(r) & ", service pack " & Shown(v)

Err.Clear
If checks <> PLANNED Then
  failures = failures + 1
  WScript.Echo "not ok plan: " & checks & " of " & PLANNED & " checks ran"
End If
WScript.Echo "done " & checks
WScript.Quit failures
