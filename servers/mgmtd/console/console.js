// The operator's console. Every value from the server is put on the page as text
// (textContent), never as markup, so a PC or image name cannot inject anything.
"use strict";

const state = { csrf: "", me: null, data: null, users: [], tab: "clients", timer: 0 };
const POLL_MS = 3000;

const $ = (id) => document.getElementById(id);

function el(tag, props, ...children) {
  const e = document.createElement(tag);
  for (const [k, v] of Object.entries(props || {})) {
    if (k === "class") e.className = v;
    else if (k === "width") e.style.width = v;  // CSSOM: allowed under the page's style policy
    else if (k === "onclick") e.addEventListener("click", v);
    else if (k.startsWith("data-")) e.setAttribute(k, v);
    else e[k] = v;
  }
  for (const c of children) {
    if (c === null || c === undefined) continue;
    e.append(c instanceof Node ? c : document.createTextNode(String(c)));
  }
  return e;
}

function toast(text, isError) {
  const t = $("toast");
  t.textContent = text;
  t.className = isError ? "error" : "";
  t.hidden = false;
  clearTimeout(toast.timer);
  toast.timer = setTimeout(() => { t.hidden = true; }, 4000);
}

async function api(method, path, body) {
  const headers = {};
  if (body !== undefined) headers["Content-Type"] = "application/json";
  if (method !== "GET") headers["X-CSRF-Token"] = state.csrf;
  let res;
  try {
    res = await fetch(path, { method, headers, credentials: "same-origin",
                              body: body === undefined ? undefined : JSON.stringify(body) });
  } catch (e) {
    throw new Error("无法连接管理服务器");
  }
  let j = {};
  try { j = await res.json(); } catch (e) { /* not JSON */ }
  if (res.status === 401) { showLogin(); throw new Error(j.message || "请重新登录"); }
  if (!res.ok || (j.code !== undefined && j.code !== 0)) throw new Error(j.message || ("HTTP " + res.status));
  return j;
}

async function act(fn, okText) {
  try {
    await fn();
    if (okText) toast(okText);
    await refresh();
  } catch (e) {
    toast(e.message, true);
  }
}

function fmtBytes(n) {
  if (n === undefined || n === null) return "—";
  const units = ["B", "KiB", "MiB", "GiB", "TiB"];
  let i = 0, v = Number(n);
  while (v >= 1024 && i < units.length - 1) { v /= 1024; i++; }
  return (i ? v.toFixed(1) : v) + " " + units[i];
}

function parseSize(text) {
  const m = /^\s*(\d+(?:\.\d+)?)\s*([KMGT]?)i?B?\s*$/i.exec(text);
  if (!m) return null;
  const mult = { "": 1, K: 1024, M: 1024 ** 2, G: 1024 ** 3, T: 1024 ** 4 }[m[2].toUpperCase()];
  return Math.round(Number(m[1]) * mult);
}

function fmtTime(sec) {
  if (!sec) return "—";
  return new Date(sec * 1000).toLocaleString("zh-CN", { hour12: false });
}

function badge(text, cls) { return el("span", { class: "badge " + cls }, text); }

function fmtClock(sec) {
  return new Date(sec * 1000).toLocaleTimeString("zh-CN", { hour12: false });
}

function percent(done, total) {
  return total > 0 ? Math.min(100, Math.floor((done * 100) / total)) : 0;
}

// A progress bar with its text beside it; the width is set through the CSSOM, which the page's
// style policy allows (no inline style attribute).
function progress(pct, text, detail) {
  return el("div", { class: "progress" }, el("span", { class: "bar" }, el("span", { width: pct + "%" })), " ", text,
            detail ? el("div", { class: "muted-inline" }, detail) : null);
}

const MODE_NAMES = { normal: "普通", super: "超级用户", upload: "上传", readonly: "只读" };
const MERGE_PHASES = { sync: "准备合并", snapshot: "保存旧数据", apply: "写入镜像" };

function mergeText(m) {
  return `${MERGE_PHASES[m.phase] || m.phase} ${percent(m.blocksDone, m.blocksTotal)}%`;
}

// ---- login ----

function showLogin() {
  clearInterval(state.timer);
  state.timer = 0;
  state.me = null;
  $("app-view").hidden = true;
  $("who").hidden = true;
  $("login-view").hidden = false;
}

function showApp(session) {
  state.me = { username: session.username, isAdmin: session.isAdmin };
  state.csrf = session.csrfToken || "";
  $("me").textContent = session.username + (session.isAdmin ? "（管理员）" : "（操作员）");
  document.querySelectorAll(".admin-only").forEach((e) => { e.hidden = !session.isAdmin; });
  $("login-view").hidden = true;
  $("who").hidden = false;
  $("app-view").hidden = false;
  selectTab(state.tab);
  refresh();
  if (!state.timer) state.timer = setInterval(refresh, POLL_MS);
}

$("login-form").addEventListener("submit", async (ev) => {
  ev.preventDefault();
  try {
    const r = await api("POST", "/console/api/login",
                        { username: $("login-user").value, password: $("login-password").value });
    $("login-password").value = "";
    showApp(r);
  } catch (e) {
    toast(e.message, true);
  }
});

$("btn-logout").addEventListener("click", async () => {
  try { await api("POST", "/console/api/logout"); } catch (e) { /* gone anyway */ }
  showLogin();
});

$("btn-password").addEventListener("click", () => $("password-dialog").showModal());
$("pw-cancel").addEventListener("click", () => $("password-dialog").close());
$("password-form").addEventListener("submit", async (ev) => {
  ev.preventDefault();
  try {
    await api("POST", "/api/account/password", { oldPassword: $("pw-old").value, newPassword: $("pw-new").value });
    $("password-dialog").close();
    $("pw-old").value = $("pw-new").value = "";
    toast("密码已修改，请用新密码重新登录");
    showLogin();
  } catch (e) {
    toast(e.message, true);
  }
});

// ---- tabs and refresh ----

function selectTab(name) {
  state.tab = name;
  document.querySelectorAll(".tab").forEach((b) => b.classList.toggle("active", b.dataset.tab === name));
  document.querySelectorAll(".tab-page").forEach((p) => { p.hidden = p.id !== "tab-" + name; });
  if (state.data) render();
}
document.querySelectorAll(".tab").forEach((b) => b.addEventListener("click", () => { selectTab(b.dataset.tab); refresh(); }));

async function refresh() {
  // One poll at a time: a slow answer (the disk server far away) must not pile them up.
  if (!state.me || state.polling) return;
  state.polling = true;
  try {
    state.data = await api("GET", "/api/console/state");
    if (state.me.isAdmin && state.tab === "users") state.users = (await api("GET", "/api/users")).items;
    render();
    $("updated").textContent = "更新于 " + new Date().toLocaleTimeString("zh-CN", { hour12: false }) +
      (state.data.diskdError ? "（磁盘服务器不可达）" : "");
  } catch (e) {
    $("updated").textContent = e.message;
  } finally {
    state.polling = false;
  }
}

function imageName(id) {
  const im = state.data.images.find((i) => i.id === id);
  return im ? im.name : (id === null ? "—" : "#" + id);
}

function render() {
  renderClients();
  renderImages();
  renderUploads();
  renderUsers();
}

function renderClients() {
  const d = state.data, admin = state.me.isAdmin;
  const online = d.clients.filter((c) => c.online).length, sup = d.clients.filter((c) => c.isSuperClient).length;
  $("client-summary").replaceChildren(
    el("span", {}, "客户机 ", d.clients.length), el("span", {}, "在线 ", online), el("span", {}, "超级用户 ", sup),
    d.sessionsKnown ? el("span", { class: "muted-inline" }, "磁盘服务器上的会话 ", (d.sessions || []).length)
                    : el("span", { class: "muted-inline" }, "在线状态为推测（磁盘服务器未报告会话）"));
  const rows = d.clients.map((c) => {
    let layer = "—";
    if (c.layer) {
      layer = fmtBytes(c.layer.bytes);
      if (c.layer.merge) layer += " 合并中 " + mergeText(c.layer.merge);
      else if (c.layer.merging) layer += " 合并中";
    }
    // Online: the PC holds a session on the disk server now. Without the disk server's list
    // the server can only guess from the last handshake, and the page says so.
    const sessions = c.sessions || [];
    const onlineCell = el("td", { class: "online" });
    if (c.online && c.onlineSource === "diskd" && sessions.length) {
      const s = sessions[0];
      onlineCell.title = sessions.map((x) => `${MODE_NAMES[x.mode] || x.mode} ${x.peer} 自 ${fmtTime(x.since)}，` +
        `读 ${fmtBytes(x.bytesRead)}，写 ${fmtBytes(x.bytesWritten)}`).join("\n");
      onlineCell.append(badge("在线", "on"), " ", el("span", { class: "muted-inline" },
        `${MODE_NAMES[s.mode] || s.mode} · 自 ${fmtClock(s.since)}`));
    } else if (c.online) {
      onlineCell.title = "磁盘服务器的会话列表不可用：按最近一次握手推测";
      onlineCell.append(badge("在线（推测）", "on"));
    } else {
      onlineCell.append(badge("离线", "off"));
    }
    const pending = c.pendingLayer ? (c.pendingLayer.action === "merge" ? "待提交" : "待丢弃") : "";
    // Every operator may switch super-user mode (as in the client program); the rest is for
    // administrators, as the server decides.
    const actions = el("td", { class: "actions" },
      el("button", { type: "button", "data-act": "super", onclick: () => act(
        () => api("POST", `/api/disk/clients/${c.id}/super`, { isSuperClient: !c.isSuperClient }),
        c.isSuperClient ? "已退出超级用户模式" : "已进入超级用户模式") },
        c.isSuperClient ? "退出超级用户" : "进入超级用户"));
    if (admin) {
      actions.append(
        el("button", { type: "button", "data-act": "commit", onclick: () => confirm(`提交 ${c.name} 的超级用户层到镜像？`) &&
          act(() => api("POST", `/api/disk/clients/${c.id}/layer/commit`), "已安排提交") }, "提交层"),
        el("button", { type: "button", class: "danger", "data-act": "discard", onclick: () =>
          confirm(`丢弃 ${c.name} 的超级用户层？其中的写入将全部丢失。`) &&
          act(() => api("POST", `/api/disk/clients/${c.id}/layer/discard`), "已丢弃") }, "丢弃层"),
        el("button", { type: "button", "data-act": "edit", onclick: () => editClient(c) }, "编辑"),
        el("button", { type: "button", class: "danger", "data-act": "remove", onclick: () =>
          confirm(`删除客户机 ${c.name}？`) && act(() => api("DELETE", `/api/disk/clients/${c.id}`), "已删除") }, "删除"));
    }
    return el("tr", { "data-client": c.name },
      // What the operator looks for first stays on a phone's screen; the rest scrolls.
      el("td", {}, c.name),
      onlineCell,
      el("td", { class: "super" }, c.isSuperClient ? badge("超级用户", "sup") : badge("普通", "off")),
      el("td", {}, imageName(c.imageId)),
      el("td", { class: "layer" }, layer, pending ? " " : "", pending),
      el("td", {}, c.macAddress), el("td", {}, c.ipAddress || "—"), actions);
  });
  $("clients-table").tBodies[0].replaceChildren(...rows);
  const sel = $("client-image"), cur = sel.value;
  sel.replaceChildren(el("option", { value: "" }, "（不分配）"),
    ...d.images.map((i) => el("option", { value: String(i.id) }, i.name)));
  sel.value = cur;
}

function editClient(c) {
  $("client-form-title").textContent = "编辑客户机 " + c.name;
  $("client-id").value = c.id;
  $("client-name").value = c.name;
  $("client-mac").value = c.macAddress;
  $("client-ip").value = c.ipAddress || "";
  $("client-image").value = c.imageId === null ? "" : String(c.imageId);
  $("client-name").focus();
}

function resetClientForm() {
  $("client-form").reset();
  $("client-id").value = "";
  $("client-form-title").textContent = "添加客户机";
}
$("client-cancel").addEventListener("click", resetClientForm);
$("client-form").addEventListener("submit", (ev) => {
  ev.preventDefault();
  const id = $("client-id").value, img = $("client-image").value, ip = $("client-ip").value.trim();
  const body = { name: $("client-name").value, macAddress: $("client-mac").value,
                 ipAddress: ip === "" ? null : ip, imageId: img === "" ? null : Number(img) };
  act(async () => {
    await api(id ? "PUT" : "POST", id ? `/api/disk/clients/${id}` : "/api/disk/clients", body);
    resetClientForm();
  }, id ? "客户机已保存" : "客户机已添加");
});

function renderImages() {
  const d = state.data, admin = state.me.isAdmin;
  const rows = d.images.map((i) => {
    const layers = (i.layers || []).map((l) => {
      // An upload's layer covers the whole disk; what it has received is the telling size.
      const size = l.upload ? "已收到 " + fmtBytes(l.writtenBytes) : fmtBytes(l.bytes);
      const merge = i.merge && i.merge.clientKey === l.clientKey ? " 合并中 " + mergeText(i.merge)
                  : l.merging ? " 合并中" : "";
      return `${l.clientKey} ${size}${l.sessions ? " 使用中" : ""}${merge}`;
    });
    for (const p of i.pendingLayers || []) layers.push(`${p.clientKey} ${p.action === "merge" ? "待提交" : "待丢弃"}`);
    const actions = el("td", { class: "actions" });
    if (admin) {
      actions.append(
        el("button", { type: "button", "data-act": "prepare", onclick: () =>
          confirm(`准备镜像 ${i.name}？这会清空镜像上的全部数据并重新分区格式化。`) &&
          act(() => api("POST", `/api/disk/images/${i.id}/prepare-disk`), "镜像已准备好") }, "准备磁盘"),
        el("button", { type: "button", "data-act": "edit", onclick: () => editImage(i) }, "编辑"),
        el("button", { type: "button", class: "danger", "data-act": "remove", onclick: () =>
          confirm(`删除镜像 ${i.name}？（文件保留）`) && act(() => api("DELETE", `/api/disk/images/${i.id}`), "已删除") }, "删除"));
    }
    return el("tr", { "data-image": i.name },
      el("td", { title: i.path || "" }, i.name), el("td", {}, i.id), el("td", {}, fmtBytes(i.sizeBytes)),
      el("td", {}, i.version), el("td", {}, i.readOnly ? "是" : "否"),
      el("td", { class: "sessions" }, i.sessions === undefined ? "—" : i.sessions),
      el("td", { class: "layers" }, layers.length ? layers.join("；") : "—"), actions);
  });
  $("images-table").tBodies[0].replaceChildren(...rows);
}

function editImage(i) {
  $("image-form-title").textContent = "编辑镜像 " + i.name;
  $("image-id").value = i.id;
  $("image-name").value = i.name;
  $("image-size").value = String(i.sizeBytes);
  $("image-path").value = i.path || "";
  $("image-ro").checked = i.readOnly;
}

function resetImageForm() {
  $("image-form").reset();
  $("image-id").value = "";
  $("image-form-title").textContent = "添加镜像";
}
$("image-cancel").addEventListener("click", resetImageForm);
$("image-form").addEventListener("submit", (ev) => {
  ev.preventDefault();
  const size = parseSize($("image-size").value);
  if (size === null) return toast("大小格式无效，例如 40G", true);
  const id = $("image-id").value, path = $("image-path").value.trim();
  const body = { name: $("image-name").value, sizeBytes: size, readOnly: $("image-ro").checked };
  if (path) body.path = path;
  act(async () => {
    await api(id ? "PUT" : "POST", id ? `/api/disk/images/${id}` : "/api/disk/images", body);
    resetImageForm();
  }, id ? "镜像已保存" : "镜像已添加");
});

function renderUploads() {
  const d = state.data, admin = state.me.isAdmin;
  const rows = d.uploads.map((u) => {
    let stage = "等待上传程序连接";
    if (u.merging) stage = "正在合并到镜像";
    else if (u.connected || u.sessions) stage = "正在写入";
    else if (u.layerOpen) stage = `已写入，空闲 ${u.idleSeconds} 秒`;
    // The upload goes through the disk front to back, skipping zero blocks: the position it
    // has reached against the image's size is the percentage, the bytes are what came in.
    let bar;
    if (u.merge) {
      const pct = percent(u.merge.blocksDone, u.merge.blocksTotal);
      bar = progress(pct, `${MERGE_PHASES[u.merge.phase] || u.merge.phase} ${pct}%`);
    } else {
      const pct = u.percent || 0;
      bar = progress(pct, `${pct}%`, `已写入 ${fmtBytes(u.writtenBytes || 0)} · 位置 ${fmtBytes(u.position || 0)} / ` +
                                     fmtBytes(u.totalBytes));
    }
    const conn = el("td", { class: "conn" });
    if (u.connected) {
      conn.title = `${u.connected.peer} 自 ${fmtTime(u.connected.since)}，本次连接写入 ${fmtBytes(u.connected.bytesWritten)}`;
      conn.append(badge("已连接", "on"));
    } else {
      conn.append(u.sessions ? badge("已连接", "on") : badge("未连接", "off"));
    }
    const actions = el("td", { class: "actions" });
    if (admin) {
      actions.append(el("button", { type: "button", class: "danger", "data-act": "close", onclick: () =>
        confirm(`关闭上传会话 #${u.id}？已写入的数据将被丢弃，正在进行的上传会失败。`) &&
        act(() => api("POST", `/api/disk/uploads/${u.id}/close`), "上传会话已关闭") }, "关闭"));
    }
    return el("tr", { "data-upload": u.id },
      el("td", {}, u.id), el("td", {}, imageName(u.imageId)), el("td", { class: "stage" }, stage),
      el("td", { class: "progress-cell" }, bar), conn,
      el("td", {}, fmtTime(u.createdAt)), el("td", {}, fmtTime(u.expiresAt)), actions);
  });
  if (!rows.length) rows.push(el("tr", {}, el("td", { colSpan: 8 }, "没有进行中的上传")));
  $("uploads-table").tBodies[0].replaceChildren(...rows);
}

function renderUsers() {
  if (!state.me.isAdmin) return;
  const rows = state.users.map((u) => el("tr", { "data-user": u.username },
    el("td", {}, u.username), el("td", {}, u.isAdmin ? "管理员" : "操作员"),
    el("td", { class: "actions" }, u.username === state.me.username ? "" :
      el("button", { type: "button", class: "danger", onclick: () => confirm(`删除操作员 ${u.username}？`) &&
        act(() => api("DELETE", `/api/users/${encodeURIComponent(u.username)}`), "已删除") }, "删除"))));
  $("users-table").tBodies[0].replaceChildren(...rows);
}

$("user-form").addEventListener("submit", (ev) => {
  ev.preventDefault();
  act(async () => {
    await api("POST", "/api/users", { username: $("user-name").value, password: $("user-password").value,
                                      isAdmin: $("user-admin").checked });
    $("user-form").reset();
  }, "操作员已添加");
});

// A page opened with a still valid cookie continues its session.
fetch("/console/api/session", { credentials: "same-origin" })
  .then((r) => r.json())
  .then((j) => (j.code === 0 ? showApp(j) : showLogin()))
  .catch(showLogin);
